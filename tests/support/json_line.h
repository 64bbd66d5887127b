#pragma once

#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::testing {

// A strict reader of one flat JSON object of strings and numbers, as the access log writes
// them: the fields with strings decoded (numbers kept as written), or nothing when the text is
// not valid JSON of that shape (raw control bytes, bad escapes, invalid UTF-8, trailing bytes).
class JsonLine {
public:
    static std::optional<std::map<std::string, std::string>> read(std::string_view text) {
        JsonLine reader(text);
        return reader.object();
    }

private:
    explicit JsonLine(std::string_view text) : text_(text) {}

    std::optional<std::map<std::string, std::string>> object() {
        std::map<std::string, std::string> fields;
        skipSpace();
        if (!take('{')) {
            return std::nullopt;
        }
        skipSpace();
        if (!take('}')) {
            do {
                skipSpace();
                auto name = string();
                skipSpace();
                if (!name || !take(':')) {
                    return std::nullopt;
                }
                skipSpace();
                auto value = at_ < text_.size() && text_[at_] == '"' ? string() : number();
                if (!value || !fields.emplace(*name, *value).second) {
                    return std::nullopt;
                }
                skipSpace();
            } while (take(','));
            if (!take('}')) {
                return std::nullopt;
            }
        }
        skipSpace();
        if (at_ != text_.size()) {
            return std::nullopt;
        }
        return fields;
    }

    std::optional<std::string> string() {
        if (!take('"')) {
            return std::nullopt;
        }
        std::string out;
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') {
                return validUtf8(out) ? std::optional(out) : std::nullopt;
            }
            if (c < 0x20) {
                return std::nullopt;
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at_ >= text_.size()) {
                return std::nullopt;
            }
            const char e = text_[at_++];
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meant = "\"\\/\b\f\n\r\t";
            if (const size_t i = simple.find(e); i != std::string_view::npos) {
                out += meant[i];
            } else if (e == 'u' && at_ + 4 <= text_.size()) {
                unsigned code = 0;
                for (int k = 0; k < 4; ++k) {
                    const char h = text_[at_++];
                    if (!std::isxdigit(static_cast<unsigned char>(h))) {
                        return std::nullopt;
                    }
                    code = code * 16 +
                           static_cast<unsigned>(std::stoi(std::string(1, h), nullptr, 16));
                }
                if (code >= 0x80) {
                    return std::nullopt; // the log escapes only control bytes
                }
                out += static_cast<char>(code);
            } else {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> number() {
        const size_t start = at_;
        take('-');
        size_t digits = 0;
        while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
            ++at_;
            ++digits;
        }
        if (digits == 0) {
            return std::nullopt;
        }
        if (take('.')) {
            size_t fraction = 0;
            while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
                ++at_;
                ++fraction;
            }
            if (fraction == 0) {
                return std::nullopt;
            }
        }
        return std::string(text_.substr(start, at_ - start));
    }

    static bool validUtf8(std::string_view s) {
        for (size_t i = 0; i < s.size();) {
            const auto c = static_cast<unsigned char>(s[i]);
            const size_t n = c < 0x80                 ? 1
                             : c >= 0xC2 && c <= 0xDF ? 2
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xF0 && c <= 0xF4 ? 4
                                                      : 0;
            if (n == 0 || i + n > s.size()) {
                return false;
            }
            for (size_t k = 1; k < n; ++k) {
                if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                    return false;
                }
            }
            const auto second = static_cast<unsigned char>(n > 1 ? s[i + 1] : 0);
            if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
                (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F)) {
                return false;
            }
            i += n;
        }
        return true;
    }

    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) {
            ++at_;
        }
    }
    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    std::string_view text_;
    size_t at_ = 0;
};

} // namespace velmo::testing
