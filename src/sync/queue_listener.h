#pragma once

#include <deque>
#include <string>

namespace velmo::sync {

// Hears every change of an agent's `queued_commands` as it is made, so that the queue can be
// kept durable between full saves. Called on the UI thread, with the agent's lock held.
class QueueListener {
public:
    virtual ~QueueListener() = default;
    // `command` joined the tail.
    virtual void commandQueued(const std::string& command) = 0;
    // The head left the queue: delivered, or refused for good.
    virtual void commandRetired() = 0;
    // The whole queue was replaced by `commands`.
    virtual void queueReplaced(const std::deque<std::string>& commands) = 0;
};

} // namespace velmo::sync
