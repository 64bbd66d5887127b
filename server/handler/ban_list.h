#pragma once

#include "store/store.h"
#include "store/string_hash.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace velmo::server {

// The bans in force, kept in the store and answered from memory, since every append asks.
// Thread-safe. With `refresh_ms` above 0 the memory is read from the store again once it is that
// old (several instances on one database: another may ban meanwhile), by the one asking thread
// that finds it so; with 0 only this process changes the bans, and memory is always current.
// When a read fails, the bans last read stay in force.
class BanList {
public:
    BanList(Store& store, int64_t refresh_ms) : store_(store), refresh_ms_(refresh_ms) {}
    BanList(const BanList&) = delete;
    BanList& operator=(const BanList&) = delete;

    // Reads the bans from the store; false on a storage failure.
    bool load(int64_t now_ms);

    // Why a command for `user_name` bringing the key with hash `key_hash` (empty: none) is
    // refused: its user name banned, or its key; nothing when neither is.
    std::optional<Ban::Kind> refused(std::string_view user_name, std::string_view key_hash,
                                     int64_t now_ms);
    // Whether any key is banned: otherwise a command's key need not be hashed for the check.
    bool anyKeyBanned() const { return any_key_.load(std::memory_order_relaxed); }

    // Adds (`banned`) or lifts a ban in the store, then in memory. Nothing on a storage failure;
    // otherwise whether the ban was in force before.
    std::optional<bool> set(const Ban& ban, bool banned, int64_t now_ms);

private:
    using Names = std::unordered_set<std::string, StringHash, std::equal_to<>>;
    // Takes `bans` into memory.
    void take(const std::vector<Ban>& bans, int64_t now_ms);

    Store& store_;
    const int64_t refresh_ms_;
    mutable std::shared_mutex mutex_;
    Names users_;
    Names keys_;
    int64_t read_at_ = 0;
    std::atomic<bool> any_key_{false};
    std::mutex refreshing_; // the thread that reads the store again holds it
};

} // namespace velmo::server
