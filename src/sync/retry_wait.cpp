#include "sync/retry_wait.h"

#include <algorithm>
#include <memory>
#include <random>

namespace velmo::sync {
namespace {

// A jitter outside [0, 1) from a careless fake must not make a wait negative or endless.
double unit(const Jitter& jitter) {
    return jitter ? std::clamp(jitter(), 0.0, 1.0) : 0.5;
}

} // namespace

Jitter defaultJitter() {
    auto engine = std::make_shared<std::minstd_rand>(std::random_device{}());
    return [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}

double RetryWait::doubling(int failures_in_a_row, double first, double longest,
                           const Jitter& jitter) {
    double delay = first;
    for (int i = 1; i < failures_in_a_row && delay < longest; ++i) {
        delay *= 2.0;
    }
    delay = std::min(delay, longest);
    return delay / 2.0 + unit(jitter) * delay / 2.0;
}

double RetryWait::afterAnswer(int answers_in_a_row, std::optional<double> retry_after,
                              const Jitter& jitter) {
    if (retry_after) {
        return std::clamp(*retry_after, 0.0, LongestAsked);
    }
    return doubling(answers_in_a_row, First, Longest, jitter);
}

double RetryWait::afterNoAnswer(const Jitter& jitter) {
    return Unreachable * (0.5 + unit(jitter));
}

} // namespace velmo::sync
