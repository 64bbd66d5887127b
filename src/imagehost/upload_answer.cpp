#include "imagehost/upload_answer.h"

#include "text/utf8_text.h"

namespace velmo::imagehost {

std::optional<std::string> readUploadAnswer(std::string_view answer) {
    if (!text::isValidUtf8(answer)) {
        return std::nullopt;
    }
    std::optional<std::string> url;
    size_t start = 0;
    for (;;) {
        const size_t end = answer.find("\r\n", start);
        const std::string_view line = answer.substr(start, end - start);
        const bool web_url = line.starts_with("http://") || line.starts_with("https://");
        if (web_url && !text::holdsLineTerminator(line)) {
            url = std::string(line);
        }
        if (end == std::string_view::npos) {
            return url;
        }
        start = end + 2;
    }
}

} // namespace velmo::imagehost
