#pragma once

#include <charconv>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>

namespace velmo::testing {

// A strict reader of the Prometheus text exposition format (0.0.4) as a scraper takes it:
// every line is "# HELP name text", "# TYPE name type" or `name{label="value",...} value`; a
// metric's TYPE comes once, before its samples; a counter's name ends in _total; a histogram's
// samples are name_bucket (with le), name_sum and name_count, its buckets never fall and its
// +Inf bucket equals its count. The samples are keyed by `name{labels}` as written.
struct PrometheusText {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types; // metric name -> type
    std::string error;                        // the first fault and its line; empty: none

    std::optional<double> value(const std::string& key) const {
        const auto found = samples.find(key);
        return found == samples.end() ? std::nullopt : std::optional<double>(found->second);
    }
};

inline std::optional<double> readPrometheusValue(const std::string& text) {
    if (text == "+Inf" || text == "-Inf") {
        return text == "+Inf" ? 1e300 * 1e300 : -1e300 * 1e300;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

inline PrometheusText readPrometheusText(const std::string& text) {
    static const std::regex Comment(R"(# (HELP|TYPE) ([a-zA-Z_:][a-zA-Z0-9_:]*) (.+))");
    static const std::string Label = R"([a-zA-Z_][a-zA-Z0-9_]*="(?:\\[\\"n]|[^"\\])*")";
    static const std::regex Sample("([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\\{(" + Label + "(?:," + Label +
                                   ")*)?\\})? (\\S+)(?: -?[0-9]+)?");
    static const std::regex OneLabel(R"(([a-zA-Z_][a-zA-Z0-9_]*)="((?:\\[\\"n]|[^"\\])*)\")");
    PrometheusText out;
    std::set<std::string> sampled;
    struct Series {
        double last = -1;
        std::optional<double> inf;
    };
    std::map<std::string, Series> histograms; // by name and labels without le
    if (text.empty() || text.back() != '\n') {
        out.error = "the text does not end with a line break";
        return out;
    }
    size_t at = 0;
    for (int number = 1; at < text.size(); ++number) {
        const size_t eol = text.find('\n', at);
        const std::string line = text.substr(at, eol - at);
        at = eol + 1;
        const auto fail = [&](const std::string& why) {
            out.error = "line " + std::to_string(number) + ": " + why + ": " + line;
            return out;
        };
        std::smatch m;
        if (std::regex_match(line, m, Comment)) {
            const std::string name = m[2];
            if (m[1] == "TYPE") {
                static const std::set<std::string> Types = {"counter", "gauge", "histogram",
                                                            "summary", "untyped"};
                if (!Types.count(m[3]) || out.types.count(name) || sampled.count(name)) {
                    return fail("an unknown type, or TYPE again or after samples");
                }
                if (m[3] == "counter" && !name.ends_with("_total")) {
                    return fail("a counter whose name does not end in _total");
                }
                out.types[name] = m[3];
            }
            continue;
        }
        if (!std::regex_match(line, m, Sample)) {
            return fail("neither a comment nor a sample");
        }
        const std::string name = m[1];
        const auto value = readPrometheusValue(m[3]);
        if (!value) {
            return fail("not a number");
        }
        std::string labels, others;
        std::optional<std::string> le;
        std::set<std::string> label_names;
        const std::string all = m[2];
        for (std::sregex_iterator it(all.begin(), all.end(), OneLabel), end; it != end; ++it) {
            if (!label_names.insert((*it)[1]).second) {
                return fail("a label twice");
            }
            labels += (labels.empty() ? "" : ",") + (*it)[0].str();
            if ((*it)[1] == "le") {
                le = (*it)[2];
            } else {
                others += (others.empty() ? "" : ",") + (*it)[0].str();
            }
        }
        // A histogram's samples belong to it by their suffix.
        std::string family = name;
        for (const std::string suffix : {"_bucket", "_sum", "_count"}) {
            const std::string base =
                name.substr(0, name.size() - std::min(name.size(), suffix.size()));
            if (name.ends_with(suffix) && out.types.count(base) && out.types[base] == "histogram") {
                family = base;
            }
        }
        if (!out.types.count(family)) {
            return fail("a sample before its TYPE");
        }
        sampled.insert(family);
        if (!out.samples.emplace(labels.empty() ? name : name + "{" + labels + "}", *value)
                 .second) {
            return fail("the same sample twice");
        }
        if (out.types[family] != "histogram") {
            if (le) {
                return fail("le outside a histogram");
            }
            continue;
        }
        Series& series = histograms[family + "{" + others + "}"];
        if (name == family + "_bucket") {
            if (!le || !readPrometheusValue(*le) || series.inf || series.last > *value) {
                return fail("a bucket without le, below the one before or after +Inf");
            }
            series.last = *value;
            if (*le == "+Inf") {
                series.inf = *value;
            }
        } else if (name == family + "_count" && (!series.inf || *series.inf != *value)) {
            return fail("a count other than the +Inf bucket");
        }
    }
    return out;
}

} // namespace velmo::testing
