#include "store/delivery_marks.h"

#include <algorithm>
#include <vector>

namespace velmo::server {

std::optional<DeliveryBook::Delivery>
DeliveryMarks::take(std::string_view canvas_id, std::string_view user_name, int64_t now_ms) {
    std::lock_guard lock(mutex_);
    auto canvas = canvases_.find(canvas_id);
    if (canvas == canvases_.end()) {
        canvas = canvases_.emplace(std::string(canvas_id), Users()).first;
    }
    Users& users = canvas->second;
    auto it = users.find(user_name);
    const bool inserted = it == users.end();
    if (inserted) {
        it = users.emplace(std::string(user_name), Entry()).first;
        ++count_;
    }
    Entry& entry = it->second;
    entry.last_seen = now_ms;
    const Delivery delivery{entry.mark, entry.owes_notice};
    entry.owes_notice = false;
    if (inserted && count_ > capacity_) {
        forgetOldest();
    }
    return delivery;
}

DeliveryMarks::Entry* DeliveryMarks::entryOf(std::string_view canvas_id,
                                             std::string_view user_name) {
    const auto canvas = canvases_.find(canvas_id);
    if (canvas == canvases_.end()) {
        return nullptr;
    }
    const auto user = canvas->second.find(user_name);
    return user == canvas->second.end() ? nullptr : &user->second;
}

void DeliveryMarks::advance(std::string_view canvas_id, std::string_view user_name,
                            int64_t sent_up_to) {
    std::lock_guard lock(mutex_);
    if (Entry* entry = entryOf(canvas_id, user_name)) {
        entry->mark = std::max(entry->mark, sent_up_to);
    }
}

void DeliveryMarks::noteDelete(std::string_view canvas_id, std::string_view deleting_user) {
    std::lock_guard lock(mutex_);
    const auto canvas = canvases_.find(canvas_id);
    if (canvas == canvases_.end()) {
        return;
    }
    for (auto& [user, entry] : canvas->second) {
        if (user != deleting_user) {
            entry.owes_notice = true;
        }
    }
}

void DeliveryMarks::oweNotice(std::string_view canvas_id, std::string_view user_name) {
    std::lock_guard lock(mutex_);
    if (Entry* entry = entryOf(canvas_id, user_name)) {
        entry->owes_notice = true;
    }
}

std::vector<SavedMark> DeliveryMarks::snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<SavedMark> saved;
    saved.reserve(count_);
    for (const auto& [canvas, users] : canvases_) {
        for (const auto& [user, entry] : users) {
            saved.push_back({canvas, user, entry.mark, entry.owes_notice, entry.last_seen});
        }
    }
    return saved;
}

void DeliveryMarks::restore(const std::vector<SavedMark>& saved) {
    std::lock_guard lock(mutex_);
    for (const SavedMark& m : saved) {
        if (count_ >= capacity_) {
            return;
        }
        Users& users = canvases_[m.canvas_id];
        const auto [it, inserted] = users.try_emplace(m.user_name);
        if (inserted) {
            ++count_;
        }
        it->second.mark = std::max(it->second.mark, m.mark);
        it->second.owes_notice = it->second.owes_notice || m.owes_notice;
        it->second.last_seen = std::max(it->second.last_seen, m.last_seen);
    }
}

size_t DeliveryMarks::size() const {
    std::lock_guard lock(mutex_);
    return count_;
}

void DeliveryMarks::forgetOldest() {
    std::vector<int64_t> seen;
    seen.reserve(count_);
    for (const auto& [canvas, users] : canvases_) {
        for (const auto& [user, entry] : users) {
            seen.push_back(entry.last_seen);
        }
    }
    const auto middle = seen.begin() + static_cast<std::ptrdiff_t>(seen.size() / 2);
    std::nth_element(seen.begin(), middle, seen.end());
    const int64_t cutoff = *middle;
    for (auto canvas = canvases_.begin(); canvas != canvases_.end();) {
        Users& users = canvas->second;
        for (auto user = users.begin(); user != users.end();) {
            if (user->second.last_seen <= cutoff) {
                user = users.erase(user);
                --count_;
            } else {
                ++user;
            }
        }
        canvas = users.empty() ? canvases_.erase(canvas) : std::next(canvas);
    }
}

} // namespace velmo::server
