#pragma once

namespace velmo::testing {

// AddressSanitizer keeps freed memory in quarantine, so a process's resident memory says little
// about what it holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool Sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif
#else
constexpr bool Sanitized = false;
#endif

} // namespace velmo::testing
