#pragma once

#include <cstddef>
#include <string>

namespace velmo::platform {

// Secret random bytes, from the operating system's cryptographic source: the client's keys are
// made of them. Any thread.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    // `size` random bytes.
    virtual std::string bytes(size_t size) = 0;
};

} // namespace velmo::platform
