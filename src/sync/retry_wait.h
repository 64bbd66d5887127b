#pragma once

#include <functional>
#include <optional>

namespace velmo::sync {

// Numbers spread evenly over [0, 1), to spread the retries of many clients apart. Not for
// secrets. Tests give one that returns what they choose.
using Jitter = std::function<double()>;

// A generator seeded once from the system's random device; each copy keeps its own state.
Jitter defaultJitter();

// How long to wait before trying a server again. All waits are in seconds.
struct RetryWait {
    // The longest of our own waits after answers that say "not now".
    static constexpr double Longest = 60.0;
    // The longest wait a server may ask for, so a wild Retry-After cannot silence the client
    // for good.
    static constexpr double LongestAsked = 600.0;
    // The first of our own waits after an answer that says "not now"; it doubles with each
    // such answer in a row.
    static constexpr double First = 2.5;
    // Around this long after a request got no answer at all.
    static constexpr double Unreachable = 1.0;

    // After the `answers_in_a_row`-th answer in a row that said "not now" (1 for the first):
    // what the server asked for, when it did; otherwise a doubling with equal jitter, between
    // half of it and all of it, so clients turned away together do not come back together.
    static double afterAnswer(int answers_in_a_row, std::optional<double> retry_after,
                              const Jitter& jitter);
    // After a request that got no answer (refused, broken, timed out): between half and one
    // and a half times Unreachable. Nobody answered, so a probe costs the server nothing, and a
    // short wait notices its return within about a second; the jitter spreads the clients
    // that lost it together.
    static double afterNoAnswer(const Jitter& jitter);
    // A doubling from `first` with each failure in a row, up to `longest`, with equal jitter.
    static double doubling(int failures_in_a_row, double first, double longest,
                           const Jitter& jitter);
};

} // namespace velmo::sync
