#include "handler/ban_list.h"

#include <algorithm>

namespace velmo::server {

bool BanList::load(int64_t now_ms) {
    const auto bans = store_.bans();
    if (!bans) {
        return false;
    }
    take(*bans, now_ms);
    return true;
}

void BanList::take(const std::vector<Ban>& bans, int64_t now_ms) {
    Names users;
    Names keys;
    for (const Ban& ban : bans) {
        (ban.kind == Ban::Kind::UserName ? users : keys).insert(ban.value);
    }
    std::unique_lock lock(mutex_);
    users_ = std::move(users);
    keys_ = std::move(keys);
    read_at_ = now_ms;
    any_key_.store(!keys_.empty(), std::memory_order_relaxed);
}

std::optional<Ban::Kind> BanList::refused(std::string_view user_name, std::string_view key_hash,
                                          int64_t now_ms) {
    if (refresh_ms_ > 0) {
        bool stale = false;
        {
            std::shared_lock lock(mutex_);
            stale = now_ms - read_at_ >= refresh_ms_;
        }
        // One thread reads again; the others answer from what is there meanwhile.
        if (stale && refreshing_.try_lock()) {
            std::lock_guard held(refreshing_, std::adopt_lock);
            if (!load(now_ms)) {
                std::unique_lock lock(mutex_);
                read_at_ = now_ms; // the next try after another interval, not on every append
            }
        }
    }
    std::shared_lock lock(mutex_);
    if (users_.contains(user_name)) {
        return Ban::Kind::UserName;
    }
    if (!key_hash.empty() && keys_.contains(key_hash)) {
        return Ban::Kind::Key;
    }
    return std::nullopt;
}

std::optional<bool> BanList::set(const Ban& ban, bool banned, int64_t now_ms) {
    // The store is asked rather than memory: another instance may have changed the bans.
    const auto before = store_.bans();
    if (!before || !store_.setBan(ban, banned)) {
        return std::nullopt;
    }
    const bool was = std::any_of(before->begin(), before->end(), [&ban](const Ban& b) {
        return b.kind == ban.kind && b.value == ban.value;
    });
    if (!load(now_ms)) {
        // The change is stored; memory follows it without a read.
        std::vector<Ban> after;
        for (const Ban& b : *before) {
            if (!(b.kind == ban.kind && b.value == ban.value)) {
                after.push_back(b);
            }
        }
        if (banned) {
            after.push_back(ban);
        }
        take(after, now_ms);
    }
    return was;
}

} // namespace velmo::server
