#include "handler/token_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace velmo::server {

std::optional<std::string> readTokenFile(std::string_view option, const std::string& path,
                                         size_t min_bytes, std::string* error) {
    const std::string where = std::string(option) + " " + path + ": ";
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = where + "cannot be read (" + std::strerror(errno) + ")";
        return std::nullopt;
    }
    std::string contents;
    char chunk[1024];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        contents.append(chunk, static_cast<size_t>(file.gcount()));
        if (contents.size() > MaxTokenBytes) {
            *error = where + "holds more than " + std::to_string(MaxTokenBytes) + " bytes";
            return std::nullopt;
        }
    }
    constexpr std::string_view Space = " \t\r\n";
    const size_t first = contents.find_first_not_of(Space);
    if (first == std::string::npos) {
        *error = where + "is empty";
        return std::nullopt;
    }
    std::string token = contents.substr(first, contents.find_last_not_of(Space) - first + 1);
    if (token.size() < min_bytes) {
        *error = where + "the token wants at least " + std::to_string(min_bytes) +
                 " bytes (openssl rand -hex 32 makes one)";
        return std::nullopt;
    }
    return token;
}

} // namespace velmo::server
