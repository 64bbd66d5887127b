#include "handler/token_file.h"

#include "handler/sha256.h"

#include <openssl/crypto.h>

#include <algorithm>

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

namespace {

std::string_view trimmedToken(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

BearerToken::BearerToken(std::string_view token) : hash_(token.empty() ? "" : sha256Hex(token)) {}

bool BearerToken::broughtBy(std::string_view authorization) const {
    if (hash_.empty()) {
        return false;
    }
    authorization = trimmedToken(authorization);
    const size_t space = authorization.find_first_of(" \t");
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    constexpr std::string_view Scheme = "bearer";
    if (space != Scheme.size() ||
        !std::equal(Scheme.begin(), Scheme.end(), authorization.begin(),
                    [&](char want, char got) { return lower(got) == want; })) {
        return false;
    }
    const std::string_view token = trimmedToken(authorization.substr(space));
    if (token.empty() || token.size() > MaxTokenBytes) {
        return false;
    }
    // Hashes of equal length, compared without an early exit: the time says nothing of how
    // much of a guess was right, nor of the token's length.
    const std::string hash = sha256Hex(token);
    return CRYPTO_memcmp(hash.data(), hash_.data(), hash.size()) == 0;
}

} // namespace velmo::server
