#pragma once

#include "platform/random_source.h"

#include <string>

namespace velmo::testing {

// Random bytes that are not: each call gives the next bytes of a counter, so every key a test
// makes is known and differs from the others.
class CountingRandom : public platform::RandomSource {
public:
    std::string bytes(size_t size) override {
        std::string out;
        for (size_t i = 0; i < size; ++i) {
            out += static_cast<char>(next++);
        }
        ++calls;
        return out;
    }

    unsigned char next = 0;
    int calls = 0;
};

} // namespace velmo::testing
