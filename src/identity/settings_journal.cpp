#include "identity/settings_journal.h"

#include "canvas/stroke_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>

namespace velmo::identity {
namespace {

constexpr std::string_view HeaderWord = "velmorastra-journal ";

uint32_t fnv1a(std::string_view bytes) {
    uint32_t hash = 2166136261u;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

// Keeps a record on one line whatever bytes it carries.
std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<std::string> unescaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
        case '\\':
            out += '\\';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

std::string keyText(const canvas::StrokeKey& key) {
    return std::to_string(key.first) + ' ' + std::to_string(key.second);
}

template <typename Number> std::optional<Number> readNumber(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// "<server time> <client time>" and what follows it after one space.
std::optional<std::pair<canvas::StrokeKey, std::string_view>> readKey(std::string_view text) {
    const size_t first = text.find(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const size_t second = text.find(' ', first + 1);
    const auto server = readNumber<int64_t>(text.substr(0, first));
    const auto client = readNumber<int64_t>(text.substr(first + 1, second - first - 1));
    if (!server || !client) {
        return std::nullopt;
    }
    const std::string_view rest =
        second == std::string_view::npos ? std::string_view{} : text.substr(second + 1);
    return std::pair{canvas::StrokeKey{*server, *client}, rest};
}

// One record, read and checked before anything is changed.
struct Record {
    char tag = '\0';
    canvas::StrokeKey key{};
    std::string text;
};

std::optional<Record> readRecord(std::string_view body) {
    Record r;
    r.tag = body.empty() ? '\0' : body[0];
    const bool bare = body.size() == 1;
    if (!bare && (body.size() < 2 || body[1] != ' ')) {
        return std::nullopt;
    }
    const std::string_view rest = bare ? std::string_view{} : body.substr(2);
    switch (r.tag) {
    case 'S':
    case 'D': {
        const auto key = readKey(rest);
        auto text = key ? unescaped(key->second) : std::nullopt;
        if (!text || (r.tag == 'D' && !text->empty())) {
            return std::nullopt;
        }
        r.key = key->first;
        r.text = std::move(*text);
        return r;
    }
    case 'C':
    case 'Q': {
        auto text = unescaped(rest);
        if (!text) {
            return std::nullopt;
        }
        r.text = std::move(*text);
        return r;
    }
    case 'E':
    case 'P':
    case 'X':
        return bare ? std::optional<Record>{r} : std::nullopt;
    default:
        return std::nullopt;
    }
}

void apply(Record& r, JournaledState& state, float pixel_scale) {
    switch (r.tag) {
    case 'S':
        state.strokes_history[r.key] = canvas::stroke_from_text(r.text, pixel_scale);
        break;
    case 'D':
        state.strokes_history.erase(r.key);
        if (r.key.first == canvas::DefaultInitServerTime) {
            // A full save keeps an unconfirmed stroke under server time 0: a fold between the
            // stroke and its echo put it there.
            state.strokes_history.erase({0, r.key.second});
        }
        break;
    case 'E':
        state.strokes_history.clear();
        break;
    case 'C':
        state.canvas_id = std::move(r.text);
        break;
    case 'Q':
        state.queued_commands.push_back(std::move(r.text));
        break;
    case 'P':
        if (!state.queued_commands.empty()) {
            state.queued_commands.pop_front();
        }
        break;
    case 'X':
        state.queued_commands.clear();
        break;
    default:
        break;
    }
}

std::string line(std::string_view body) {
    char checksum[10];
    std::snprintf(checksum, sizeof checksum, "%08x ", static_cast<unsigned>(fnv1a(body)));
    std::string out(checksum, 9);
    out += body;
    out += '\n';
    return out;
}

} // namespace

std::string journalHeader(uint64_t generation) {
    return std::string(HeaderWord) + std::to_string(generation) + '\n';
}

void SettingsJournal::strokeStored(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) {
    record("S", keyText(key) + ' ' + escaped(canvas::stroke_to_text(stroke)));
}

void SettingsJournal::strokeErased(const canvas::StrokeKey& key) {
    record("D", keyText(key));
}

void SettingsJournal::historyEmptied() {
    record("E");
}

void SettingsJournal::canvasIDSet(const std::string& canvas_id) {
    record("C", escaped(canvas_id));
}

void SettingsJournal::commandQueued(const std::string& command) {
    record("Q", escaped(command));
}

void SettingsJournal::commandRetired() {
    record("P");
}

void SettingsJournal::queueReplaced(const std::deque<std::string>& commands) {
    const Batch batch(*this);
    record("X");
    for (const std::string& command : commands) {
        commandQueued(command);
    }
}

void SettingsJournal::record(std::string_view tag, std::string_view arguments) {
    if (!recording) {
        return;
    }
    std::string body(tag);
    if (!arguments.empty() || tag == "C" || tag == "Q") {
        body += ' ';
        body += arguments;
    }
    pending.push_back(std::move(body));
    ++records;
    if (held == 0) {
        writePending();
    }
}

void SettingsJournal::writePending() {
    if (pending.empty()) {
        return;
    }
    // The records of one write are one change: all but the last are marked as going on, and
    // a reader applies none of them unless it reads the last.
    std::string bytes;
    for (size_t i = 0; i < pending.size(); ++i) {
        bytes += line(i + 1 < pending.size() ? "+" + pending[i] : pending[i]);
    }
    // A failed write loses only what the next full save writes anyway.
    if (file.append(bytes)) {
        // A part a copy shares is left as it is.
        constexpr size_t PartBytes = size_t{1} << 20;
        if (written.empty() || written.back().use_count() > 1 ||
            written.back()->size() >= PartBytes) {
            written.push_back(std::make_shared<std::string>());
        }
        *written.back() += bytes;
        written_bytes += bytes.size();
    }
    pending.clear();
    unsynced = true;
}

bool SettingsJournal::restart(uint64_t generation) {
    pending.clear();
    records = 0;
    unsynced = false;
    generation_ = generation;
    startWritten(journalHeader(generation));
    recording = file.replace(*written.front());
    return recording;
}

void SettingsJournal::startWritten(std::string bytes) {
    written_bytes = bytes.size();
    written.clear();
    written.push_back(std::make_shared<std::string>(std::move(bytes)));
}

std::vector<std::shared_ptr<const std::string>> SettingsJournal::contents() const {
    return {written.begin(), written.end()};
}

std::string joined(const std::vector<std::shared_ptr<const std::string>>& parts) {
    size_t size = 0;
    for (const auto& part : parts) {
        size += part->size();
    }
    std::string all;
    all.reserve(size);
    for (const auto& part : parts) {
        all += *part;
    }
    return all;
}

bool SettingsJournal::resume(uint64_t generation, std::string_view valid, bool file_holds_more) {
    pending.clear();
    unsynced = false;
    generation_ = generation;
    records = static_cast<size_t>(std::count(valid.begin(), valid.end(), '\n'));
    records -= std::min<size_t>(records, 1); // the header
    startWritten(std::string(valid));
    // A tail cut short by a crash would end the reading of all that follows it.
    recording = !file_holds_more || file.replace(valid);
    return recording;
}

bool SettingsJournal::rotate(size_t folded) {
    // Only the tail is joined: the parts before `folded` are skipped whole.
    std::string rest;
    size_t at = 0;
    for (const auto& part : written) {
        const size_t end = at + part->size();
        if (end > folded) {
            rest.append(*part, folded > at ? folded - at : 0);
        }
        at = end;
    }
    std::string next = journalHeader(generation_ + 1) + rest;
    if (!file.replace(next)) {
        return false; // the journal goes on as it was: the settings' place still fits it
    }
    ++generation_;
    startWritten(std::move(next));
    records = static_cast<size_t>(std::count(rest.begin(), rest.end(), '\n'));
    unsynced = false;
    recording = true;
    return true;
}

void SettingsJournal::syncToDisk() {
    if (unsynced) {
        unsynced = !file.sync();
    }
}

JournalReplay replayJournal(std::string_view contents, uint64_t generation, JournaledState& state,
                            float pixel_scale) {
    JournalReplay result;
    const std::string header = journalHeader(generation);
    if (contents.substr(0, header.size()) != header) {
        return result;
    }
    result.matched = true;
    result.valid_bytes = header.size();
    std::vector<Record> group;
    size_t at = header.size();
    while (at < contents.size()) {
        const size_t end = contents.find('\n', at);
        if (end == std::string_view::npos) {
            break;
        }
        const std::string_view text = contents.substr(at, end - at);
        uint32_t stated = 0;
        const bool framed =
            text.size() > 9 && text[8] == ' ' &&
            std::from_chars(text.data(), text.data() + 8, stated, 16).ptr == text.data() + 8;
        std::string_view body = framed ? text.substr(9) : std::string_view{};
        if (!framed || stated != fnv1a(body)) {
            break;
        }
        const bool goes_on = body.starts_with('+');
        auto record = readRecord(goes_on ? body.substr(1) : body);
        if (!record) {
            break;
        }
        group.push_back(std::move(*record));
        at = end + 1;
        if (!goes_on) {
            for (Record& r : group) {
                apply(r, state, pixel_scale);
            }
            result.applied += group.size();
            result.valid_bytes = at;
            group.clear();
        }
    }
    result.damaged_tail = result.valid_bytes < contents.size();
    return result;
}

} // namespace velmo::identity
