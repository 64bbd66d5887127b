#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

namespace velmo::server {

// Bytes of replies held in memory for clients, against a bound for all connections together:
// a reply that could not be held is refused before it is made, so clients that ask and never
// read cannot exhaust the server's memory. Thread-safe.
class ReplyBudget {
public:
    // Bytes held for one reply; given back when destroyed.
    class Lease {
    public:
        Lease(ReplyBudget& owner, size_t bytes) : owner_(&owner), bytes_(bytes) {}
        Lease(Lease&& other) noexcept : owner_(other.owner_), bytes_(other.bytes_) {
            other.owner_ = nullptr;
        }
        Lease& operator=(Lease&& other) noexcept {
            if (this != &other) {
                release();
                owner_ = other.owner_;
                bytes_ = other.bytes_;
                other.owner_ = nullptr;
            }
            return *this;
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { release(); }

        // A reply turned out larger than the bytes taken for it (a hosted picture, a stroke
        // larger than a page): it is held already, so it is counted, room or not.
        void growTo(size_t bytes) {
            if (owner_ != nullptr && bytes > bytes_) {
                owner_->held_.fetch_add(bytes - bytes_, std::memory_order_acq_rel);
                bytes_ = bytes;
            }
        }
        size_t bytes() const { return bytes_; }

    private:
        void release() {
            if (owner_ != nullptr) {
                owner_->held_.fetch_sub(bytes_, std::memory_order_acq_rel);
                owner_ = nullptr;
            }
        }

        ReplyBudget* owner_;
        size_t bytes_;
    };

    // `limit` 0 counts without refusing.
    explicit ReplyBudget(size_t limit) : limit_(limit) {}

    // A lease of `bytes`, or nothing when they would take the bytes held beyond the limit.
    std::optional<Lease> tryTake(size_t bytes) {
        size_t now = held_.load(std::memory_order_acquire);
        do {
            if (limit_ != 0 && now + bytes > limit_) {
                return std::nullopt;
            }
        } while (!held_.compare_exchange_weak(now, now + bytes, std::memory_order_acq_rel));
        return std::optional<Lease>(std::in_place, *this, bytes);
    }

    size_t held() const { return held_.load(std::memory_order_acquire); }
    size_t limit() const { return limit_; }

private:
    const size_t limit_;
    std::atomic<size_t> held_{0};
};

} // namespace velmo::server
