#include "handler/sha256.h"

#include <openssl/evp.h>

#include <new>

namespace velmo::server {

std::string sha256Hex(std::string_view bytes) {
    static constexpr char Hex[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        // The digest fails only when libcrypto cannot allocate its context.
        throw std::bad_alloc();
    }
    std::string hex;
    hex.reserve(2 * size);
    for (unsigned int i = 0; i < size; ++i) {
        hex += Hex[digest[i] >> 4];
        hex += Hex[digest[i] & 15];
    }
    return hex;
}

} // namespace velmo::server
