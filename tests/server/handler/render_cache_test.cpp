#include "handler/render_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velmo::server {
namespace {

// Gives the entry three layers of w x h pixels, 12 bytes a pixel.
void fill(RenderCache::Lease& lease, int w, int h) {
    CanvasRender& render = lease.render();
    render.geometry.setScreenSize(static_cast<float>(w), static_cast<float>(h));
    render.layers = {canvas::Surface(w, h), canvas::Surface(w, h), canvas::Surface(w, h)};
    render.painted = true;
}

TEST(RenderCache, KeepsWithinItsBoundDroppingTheLeastRecentlyUsedFirst) {
    // Three entries of 100 x 100 fit (120,000 bytes of layers each), a fourth does not.
    RenderCache cache(400'000);
    for (const char* id : {"a@1", "b@1", "c@1"}) {
        auto lease = cache.take(id, 100, 100);
        fill(lease, 100, 100);
    }
    EXPECT_EQ(cache.entries(), 3u);
    EXPECT_GE(cache.bytes(), 360'000u);
    EXPECT_LE(cache.bytes(), 400'000u);
    // a@1 used again: b@1 is now the oldest and goes when d@1 comes.
    EXPECT_TRUE(cache.take("a@1", 100, 100).render().painted);
    {
        auto lease = cache.take("d@1", 100, 100);
        fill(lease, 100, 100);
    }
    EXPECT_EQ(cache.entries(), 3u);
    const struct {
        const char* id;
        int width;
        bool kept;
    } cases[] = {
        {"a@1", 100, true}, {"b@1", 100, false}, {"c@1", 100, true},
        {"d@1", 100, true}, {"a@1", 101, false}, // another size is another entry
    };
    for (const auto& c : cases) {
        // Each look leaves an empty entry behind for the cases that were not kept: forgotten.
        auto lease = cache.take(c.id, c.width, 100);
        EXPECT_EQ(lease.render().painted, c.kept) << c.id << " at " << c.width;
        if (!c.kept) {
            lease.forget();
        }
    }
    EXPECT_EQ(cache.entries(), 3u);
    // An entry larger than the whole bound is not kept, and pushes the others out.
    {
        auto lease = cache.take("huge@1", 400, 400);
        fill(lease, 400, 400);
    }
    EXPECT_EQ(cache.entries(), 0u);
    EXPECT_EQ(cache.bytes(), 0u);
}

TEST(RenderCache, ABoundOfZeroKeepsNothing) {
    RenderCache cache(0);
    {
        auto lease = cache.take("a@1", 10, 10);
        fill(lease, 10, 10);
    }
    EXPECT_EQ(cache.entries(), 0u);
    EXPECT_FALSE(cache.take("a@1", 10, 10).render().painted);
}

TEST(RenderCache, OneRequestHoldsAnEntryAtATimeAndOthersRunBeside) {
    RenderCache cache(1 << 20);
    std::atomic<int> holding{0};
    std::atomic<int> most{0};
    std::atomic<bool> other_entry_done{false};
    const auto hold = [&] {
        auto lease = cache.take("a@1", 10, 10);
        const int now = ++holding;
        most = std::max(most.load(), now);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fill(lease, 10, 10);
        --holding;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(hold);
    }
    {
        // While a@1 is held, b@1 is free.
        auto lease = cache.take("b@1", 10, 10);
        other_entry_done = true;
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(most.load(), 1);
    EXPECT_TRUE(other_entry_done.load());
    EXPECT_EQ(cache.entries(), 2u);
}

} // namespace
} // namespace velmo::server
