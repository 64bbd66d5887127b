#pragma once

#include "platform/random_source.h"

namespace velmo::platform::qt {

// QRandomGenerator::system(): the operating system's source (getrandom on Linux), safe from
// any thread.
class QtRandomSource final : public RandomSource {
public:
    std::string bytes(size_t size) override;
};

} // namespace velmo::platform::qt
