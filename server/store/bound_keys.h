#pragma once

#include "store/store.h"
#include "store/string_hash.h"

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmo::server {

// The user names a store has seen bound, with their key hashes. A binding never changes once
// written, so one seen answers every later check from memory; every command checks its user
// name, and polls are answered on a network thread. Emptied when it reaches `most` names.
// Thread-safe.
class BoundKeys {
public:
    explicit BoundKeys(size_t most) : most_(most) {}

    // Nothing when the name was not seen bound (or was forgotten).
    std::optional<KeyCheck> check(std::string_view user_name, std::string_view key_hash) {
        std::lock_guard lock(mutex_);
        const auto bound = keys_.find(user_name);
        if (bound == keys_.end()) {
            return std::nullopt;
        }
        return bound->second == key_hash ? KeyCheck::Matches : KeyCheck::Mismatch;
    }

    void remember(std::string_view user_name, const std::string& key_hash) {
        std::lock_guard lock(mutex_);
        if (keys_.size() >= most_) {
            keys_.clear();
        }
        keys_.emplace(std::string(user_name), key_hash);
    }

private:
    const size_t most_;
    std::mutex mutex_;
    std::unordered_map<std::string, std::string, StringHash, std::equal_to<>> keys_;
};

} // namespace velmo::server
