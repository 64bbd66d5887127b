#pragma once

#include "store/store.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmo::testing {

// A real store whose reads fail on demand, as they do when its database goes away: everything
// is passed to `inner` but for the reads told to fail, which answer as a storage failure.
// `strokes_after_left` lets that many strokesAfter through first (-1: all), so a read can fail
// in the middle of a render. Thread-safe like the store it wraps.
class FailingStore final : public server::Store {
public:
    explicit FailingStore(server::Store& inner) : inner_(inner) {}

    std::atomic<bool> fail_sizes{false};
    std::atomic<bool> fail_lookups{false};
    std::atomic<int64_t> strokes_after_left{-1};
    // While set, a check that would bind a name's first key waits (a slow disk), counted in
    // `bindings_held`.
    std::atomic<bool> hold_bindings{false};
    std::atomic<int> bindings_held{0};

    std::optional<std::vector<server::StoredStroke>>
    strokesAfter(std::string_view canvas_id, int64_t after, size_t limit) override {
        int64_t left = strokes_after_left.load();
        while (left >= 0) {
            if (left == 0) {
                return std::nullopt;
            }
            if (strokes_after_left.compare_exchange_weak(left, left - 1)) {
                break;
            }
        }
        return inner_.strokesAfter(canvas_id, after, limit);
    }
    std::optional<CanvasSize> canvasSize(std::string_view canvas_id) override {
        if (fail_sizes) {
            return std::nullopt;
        }
        return inner_.canvasSize(canvas_id);
    }
    server::CanvasLookup canvas(std::string_view canvas_id) override {
        if (fail_lookups) {
            return server::CanvasLookup::failure();
        }
        return inner_.canvas(canvas_id);
    }

    std::optional<int64_t> appendStroke(std::string_view canvas_id, const canvas::MWStroke& stroke,
                                        int64_t now_ms) override {
        return inner_.appendStroke(canvas_id, stroke, now_ms);
    }
    void appendStrokeAsync(std::string canvas_id, canvas::MWStroke stroke, int64_t now_ms,
                           size_t reply_bytes, AppendDone done) override {
        inner_.appendStrokeAsync(std::move(canvas_id), std::move(stroke), now_ms, reply_bytes,
                                 std::move(done));
    }
    int64_t lastStamp(std::string_view canvas_id) override { return inner_.lastStamp(canvas_id); }
    std::optional<size_t> deleteStrokes(std::string_view canvas_id, std::string_view user_name,
                                        int64_t client_time, int64_t now_ms) override {
        return inner_.deleteStrokes(canvas_id, user_name, client_time, now_ms);
    }
    bool setImageUrl(std::string_view canvas_id, server::ImageKind kind, std::string_view url,
                     int64_t now_ms) override {
        return inner_.setImageUrl(canvas_id, kind, url, now_ms);
    }
    std::optional<std::vector<server::CanvasInfo>> findCanvases(std::string_view nickname,
                                                                size_t limit) override {
        return inner_.findCanvases(nickname, limit);
    }
    std::optional<std::vector<server::CanvasInfo>> canvasesByDateId(std::string_view date_id,
                                                                    size_t limit) override {
        return inner_.canvasesByDateId(date_id, limit);
    }
    bool saveMarks(const std::vector<server::SavedMark>& marks) override {
        return inner_.saveMarks(marks);
    }
    std::optional<std::vector<server::SavedMark>> takeSavedMarks() override {
        return inner_.takeSavedMarks();
    }
    std::optional<server::KeyCheck>
    checkUserKey(std::string_view user_name, std::string_view key_hash, int64_t now_ms) override {
        if (hold_bindings && !inner_.knownUserKey(user_name, key_hash)) {
            ++bindings_held;
            while (hold_bindings) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return inner_.checkUserKey(user_name, key_hash, now_ms);
    }
    std::optional<server::KeyCheck> knownUserKey(std::string_view user_name,
                                                 std::string_view key_hash) override {
        return inner_.knownUserKey(user_name, key_hash);
    }
    std::optional<bool> hasStrokeBy(std::string_view canvas_id,
                                    std::string_view user_name) override {
        return inner_.hasStrokeBy(canvas_id, user_name);
    }
    std::optional<std::vector<server::CanvasSummary>> listCanvases(std::string_view after,
                                                                   size_t limit) override {
        return inner_.listCanvases(after, limit);
    }
    std::optional<std::vector<server::CanvasUser>>
    canvasUsers(std::string_view canvas_id, std::string_view after, size_t limit) override {
        return inner_.canvasUsers(canvas_id, after, limit);
    }
    std::optional<size_t> removeStrokes(std::string_view canvas_id,
                                        std::optional<std::string_view> user_name,
                                        int64_t now_ms) override {
        return inner_.removeStrokes(canvas_id, user_name, now_ms);
    }
    bool setBan(const server::Ban& ban, bool banned) override { return inner_.setBan(ban, banned); }
    std::optional<std::vector<server::Ban>> bans() override { return inner_.bans(); }
    bool putImage(std::string_view hash, std::string_view png, int64_t now_ms) override {
        return inner_.putImage(hash, png, now_ms);
    }
    std::optional<std::string> image(std::string_view hash) override { return inner_.image(hash); }

private:
    server::Store& inner_;
};

} // namespace velmo::testing
