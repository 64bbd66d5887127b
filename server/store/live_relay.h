#pragma once

#include <string>

namespace velmo::server {

// Live news as it travels between server instances sharing a database: a stroke in progress
// (`text` its progress text, wire/stroke_progress.h) or a user present on a canvas or gone
// from it (`text` the user ID). Read by the receiving instance, never trusted further than
// that: a progress is parsed again.
struct RemoteLive {
    enum class Kind { Progress, Join, Leave };
    Kind kind = Kind::Progress;
    std::string instance; // the sender; filled in by the relay
    std::string canvas_id;
    std::string text;

    bool operator==(const RemoteLive&) const = default;
};

// Sends live news to the other instances. Never blocks its caller: what cannot be sent soon is
// dropped, progress first. Thread-safe.
class LiveRelay {
public:
    virtual ~LiveRelay() = default;
    virtual void send(RemoteLive news) = 0;
};

} // namespace velmo::server
