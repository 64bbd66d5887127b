#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace velmo::server {

// Connections open per client address against a bound, so that one address cannot hold every
// descriptor the server has. Thread-safe.
class AddressSlots {
public:
    // `limit` 0 admits every connection.
    explicit AddressSlots(size_t limit) : limit_(limit) {}

    // Takes a place for a connection from `address`; false when it already has `limit`.
    bool take(const std::string& address) {
        std::lock_guard lock(mutex_);
        size_t& open = open_[address];
        if (limit_ != 0 && open >= limit_) {
            if (open == 0) {
                open_.erase(address);
            }
            return false;
        }
        ++open;
        return true;
    }

    // Gives back a place taken with take().
    void give(const std::string& address) {
        std::lock_guard lock(mutex_);
        const auto found = open_.find(address);
        if (found != open_.end() && --found->second == 0) {
            open_.erase(found);
        }
    }

    size_t addresses() const {
        std::lock_guard lock(mutex_);
        return open_.size();
    }

private:
    const size_t limit_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, size_t> open_;
};

} // namespace velmo::server
