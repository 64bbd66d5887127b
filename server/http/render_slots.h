#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

namespace velmo::server {

// Counts the server renders in flight against a bound, so that renders never hold every
// worker thread and the reads clients wait on keep a thread. Thread-safe.
class RenderSlots {
public:
    // Held while a render runs; gives its slot back when destroyed.
    class Slot {
    public:
        explicit Slot(RenderSlots& owner) : owner_(&owner) {}
        Slot(Slot&& other) noexcept : owner_(other.owner_) { other.owner_ = nullptr; }
        Slot& operator=(Slot&& other) noexcept {
            if (this != &other) {
                release();
                owner_ = other.owner_;
                other.owner_ = nullptr;
            }
            return *this;
        }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        ~Slot() { release(); }

    private:
        void release() {
            if (owner_ != nullptr) {
                owner_->in_flight_.fetch_sub(1, std::memory_order_acq_rel);
                owner_ = nullptr;
            }
        }

        RenderSlots* owner_;
    };

    // `limit` 0 refuses every render.
    explicit RenderSlots(size_t limit) : limit_(limit) {}

    // A slot, or nothing when `limit` renders are already in flight.
    std::optional<Slot> tryTake() {
        size_t now = in_flight_.load(std::memory_order_acquire);
        do {
            if (now >= limit_) {
                return std::nullopt;
            }
        } while (!in_flight_.compare_exchange_weak(now, now + 1, std::memory_order_acq_rel));
        return std::optional<Slot>(std::in_place, *this);
    }

    size_t inFlight() const { return in_flight_.load(std::memory_order_acquire); }

private:
    const size_t limit_;
    std::atomic<size_t> in_flight_{0};
};

} // namespace velmo::server
