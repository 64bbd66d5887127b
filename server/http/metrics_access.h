#pragma once

#include "handler/token_file.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::server {

// An IPv4 or IPv6 network: an address and how many of its leading bits an address must share.
struct AddressRange {
    bool v4 = true;
    std::array<uint8_t, 16> bytes{}; // the first 4 for IPv4
    int bits = 32;

    bool operator==(const AddressRange&) const = default;
};

// "ADDR" or "ADDR/BITS" (BITS 0 to 32 for IPv4, 0 to 128 for IPv6; none: the one address).
// Nothing for anything else; any bytes in, never a read past them. An IPv4-mapped IPv6 address
// (::ffff:a.b.c.d) is the IPv4 address.
std::optional<AddressRange> parseAddressRange(std::string_view text);

// Whether `address` (an IP address in text) lies in `range`. False for text that is none.
bool inRange(std::string_view address, const AddressRange& range);
// 127.0.0.0/8 and ::1 (and ::ffff:127.x.y.z).
bool isLoopbackAddress(std::string_view address);

// Who may read GET /metrics: loopback, the operator's networks (--metrics-allow) and a request
// with `Authorization: Bearer TOKEN` naming the operator's token (--metrics-token-file), compared
// in constant time. Immutable after construction, so any thread may ask.
class MetricsAccess {
public:
    MetricsAccess() = default;
    // `token` empty: no token lets anyone in.
    MetricsAccess(std::vector<AddressRange> allowed, std::string token);

    // `client` is the address that counts for the request, empty when none does (a forwarded
    // request whose forwarded address cannot be read); `authorization` its Authorization header.
    bool allows(std::string_view client, std::string_view authorization) const;

private:
    std::vector<AddressRange> allowed_;
    BearerToken token_;
};

// The address a metrics request is judged by. Not the peer alone: through a trusted proxy the
// client it names (its X-Forwarded-For, `forwarded`) counts, and when that cannot be read none
// does; a request from any other peer that carries an X-Forwarded-For came through a proxy this
// server was not told of (nginx on the same host, say), so its loopback peer says nothing about
// where it came from and no address counts either.
std::string metricsClient(std::string_view peer, bool via_trusted_proxy,
                          std::optional<std::string_view> forwarded);

} // namespace velmo::server
