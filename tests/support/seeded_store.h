#pragma once

#include "canvas/mw_stroke.h"
#include "store/sqlite/sqlite_store.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace velmo::testing {

// Stores `strokes` on `canvas_id` in the SQLite database at `path` (made if missing), stamped
// from `now_ms` on, without a server: a big canvas in seconds rather than minutes of requests.
// False, with the reason in `error`, when the store fails.
inline bool seedStore(const std::string& path, const std::string& canvas_id,
                      const std::vector<canvas::MWStroke>& strokes, int64_t now_ms,
                      std::string* error) {
    auto store = server::SqliteStore::open(path, error);
    if (!store) {
        return false;
    }
    // Appends in waves that share their flushes; each waits for the one before.
    constexpr size_t Wave = 2000;
    bool stored = true;
    for (size_t done = 0; done < strokes.size(); done += Wave) {
        const size_t count = std::min(Wave, strokes.size() - done);
        std::mutex mutex;
        std::condition_variable all_done;
        size_t left = count;
        for (size_t i = 0; i < count; ++i) {
            store->appendStrokeAsync(canvas_id, strokes[done + i], now_ms, 0,
                                     [&](server::Appended appended) {
                                         std::lock_guard lock(mutex);
                                         stored = stored && appended.stamp.has_value();
                                         if (--left == 0) {
                                             all_done.notify_one();
                                         }
                                     });
        }
        std::unique_lock lock(mutex);
        all_done.wait(lock, [&] { return left == 0; });
    }
    if (!stored) {
        *error = "an append failed";
    }
    return stored;
}

} // namespace velmo::testing
