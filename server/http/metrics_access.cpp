#include "http/metrics_access.h"

#include "handler/token_file.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <iterator>

namespace velmo::server {

namespace {

constexpr size_t MaxAddressText = 45; // the longest text form of an IPv6 address

struct Address {
    bool v4 = true;
    std::array<uint8_t, 16> bytes{};
};

std::optional<Address> parseAddress(std::string_view text) {
    if (text.empty() || text.size() > MaxAddressText) {
        return std::nullopt;
    }
    char copy[MaxAddressText + 1] = {};
    std::memcpy(copy, text.data(), text.size());
    Address address;
    if (inet_pton(AF_INET, copy, address.bytes.data()) == 1) {
        return address;
    }
    if (inet_pton(AF_INET6, copy, address.bytes.data()) != 1) {
        return std::nullopt;
    }
    // ::ffff:a.b.c.d is how a dual-stack socket shows an IPv4 client.
    constexpr std::array<uint8_t, 12> Mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(Mapped.begin(), Mapped.end(), address.bytes.begin())) {
        std::memmove(address.bytes.data(), address.bytes.data() + 12, 4);
        std::fill(address.bytes.begin() + 4, address.bytes.end(), 0);
        return address;
    }
    address.v4 = false;
    return address;
}

bool contains(const AddressRange& range, const Address& address) {
    if (range.v4 != address.v4) {
        return false;
    }
    const int whole = range.bits / 8;
    if (!std::equal(range.bytes.begin(), range.bytes.begin() + whole, address.bytes.begin())) {
        return false;
    }
    const int rest = range.bits % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (range.bytes[static_cast<size_t>(whole)] & mask) ==
           (address.bytes[static_cast<size_t>(whole)] & mask);
}

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

std::optional<AddressRange> parseAddressRange(std::string_view text) {
    const size_t slash = text.find('/');
    const auto address = parseAddress(text.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    AddressRange range;
    range.v4 = address->v4;
    range.bytes = address->bytes;
    const int most = address->v4 ? 32 : 128;
    range.bits = most;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        int bits = -1;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
        if (digits.empty() || digits.size() > 3 || ec != std::errc() ||
            end != digits.data() + digits.size() || bits < 0 || bits > most) {
            return std::nullopt;
        }
        range.bits = bits;
    }
    return range;
}

bool inRange(std::string_view address, const AddressRange& range) {
    const auto parsed = parseAddress(address);
    return parsed && contains(range, *parsed);
}

bool isLoopbackAddress(std::string_view address) {
    static const AddressRange V4 = *parseAddressRange("127.0.0.0/8");
    static const AddressRange V6 = *parseAddressRange("::1");
    const auto parsed = parseAddress(address);
    return parsed && (contains(V4, *parsed) || contains(V6, *parsed));
}

MetricsAccess::MetricsAccess(std::vector<AddressRange> allowed, std::string token)
    : allowed_(std::move(allowed)), token_(token) {}

bool MetricsAccess::allows(std::string_view client, std::string_view authorization) const {
    if (const auto address = parseAddress(client)) {
        if (isLoopbackAddress(client)) {
            return true;
        }
        for (const AddressRange& range : allowed_) {
            if (contains(range, *address)) {
                return true;
            }
        }
    }
    return token_.broughtBy(authorization);
}

std::string metricsClient(std::string_view peer, bool via_trusted_proxy,
                          std::optional<std::string_view> forwarded) {
    if (!forwarded) {
        return via_trusted_proxy ? std::string() : std::string(peer);
    }
    if (!via_trusted_proxy) {
        return {};
    }
    // The last entry is the one the proxy appended; earlier ones are the client's own word.
    const size_t comma = forwarded->rfind(',');
    const std::string_view last =
        trimmed(comma == std::string_view::npos ? *forwarded : forwarded->substr(comma + 1));
    return parseAddress(last) ? std::string(last) : std::string();
}

} // namespace velmo::server
