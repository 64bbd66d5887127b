#include "app/canvas_launch.h"

#include "canvas/surface.h"
#include "mwcanvas/mw_canvas.h"
#include "platform/null_outlets.h"
#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_settings.h"
#include "support/scripted_http.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmo::app {
namespace {

using canvas::OpaqueWhite;

TEST(CanvasLaunch, TheServerComesFromTheRunThenTheSettingsAndTheImageHostFollowsIt) {
    const struct {
        std::optional<std::string> server_url;
        std::optional<std::string> saved_server;
        std::optional<std::string> saved_image_host;
        ServerAddresses expected;
    } cases[] = {
        {{}, {}, {}, {"http://127.0.0.1:8640/", "http://127.0.0.1:8640/upload.cgi"}},
        {{},
         "http://saved.example/",
         {},
         {"http://saved.example/", "http://saved.example/upload.cgi"}},
        {"http://run.example:81/",
         "http://saved.example/",
         {},
         {"http://run.example:81/", "http://run.example:81/upload.cgi"}},
        {"http://run.example:81/",
         {},
         "https://images.example/upload.cgi",
         {"http://run.example:81/", "https://images.example/upload.cgi"}},
        {{},
         "http://saved.example/",
         "https://images.example/upload.cgi",
         {"http://saved.example/", "https://images.example/upload.cgi"}},
    };
    for (const auto& c : cases) {
        testing::MemorySettings settings;
        if (c.saved_server) {
            settings.setString("ServerURL", *c.saved_server);
        }
        if (c.saved_image_host) {
            settings.setString("GyazoURL", *c.saved_image_host);
        }
        const ServerAddresses found = serverAddresses(c.server_url, settings);
        EXPECT_EQ(found.server_base_url, c.expected.server_base_url)
            << c.server_url.value_or("-") << " " << c.saved_server.value_or("-");
        EXPECT_EQ(found.upload_url, c.expected.upload_url)
            << c.server_url.value_or("-") << " " << c.saved_image_host.value_or("-");
    }
}

// A windowless client, as the bot runs one, on settings that outlive it.
struct Client {
    explicit Client(testing::MemorySettings& settings_) : settings(settings_) {}

    platform::NullOutlets outlets;
    testing::FakeClock clock{1278246896.789};
    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::MemorySettings& settings;
    testing::CountingRandom random;
    mwcanvas::MWCanvas canvas{outlets,
                              {clock, http, scheduler, settings, random},
                              "http://127.0.0.1:9/",
                              "http://127.0.0.1:9/upload.cgi"};
};

TEST(CanvasLaunch, SizesTheCanvasAndRestoresAndPaintsTheSavedStateWithoutSending) {
    testing::MemorySettings settings;
    {
        Client fresh(settings);
        launchCanvas(fresh.canvas, QSize(320, 480));
        EXPECT_EQ(fresh.canvas.geometry.canvas_width, 320);
        EXPECT_EQ(fresh.canvas.geometry.canvas_height, 480);
        EXPECT_EQ(fresh.canvas.display_bitmap.width(), 320);
        EXPECT_EQ(fresh.canvas.display_bitmap.height(), 480);
        EXPECT_TRUE(fresh.canvas.strokes_history.empty());
        EXPECT_EQ(fresh.canvas.display_bitmap.at(100, 240), OpaqueWhite);

        fresh.canvas.setNickname("anna");
        fresh.canvas.touchPressedAtX(50, 240);
        fresh.canvas.touchDraggedAtX(150, 240);
        fresh.canvas.touchReleasedAtX(150, 240);
        fresh.canvas.saveDefaults();
    }

    Client again(settings);
    launchCanvas(again.canvas, QSize(320, 480));
    EXPECT_EQ(again.canvas.user_nickname, "anna");
    EXPECT_EQ(again.canvas.strokes_history.size(), 1u);
    EXPECT_NE(again.canvas.display_bitmap.at(100, 240), OpaqueWhite) << "the stroke is painted";
    EXPECT_EQ(again.canvas.display_bitmap.at(100, 400), OpaqueWhite);
    EXPECT_TRUE(again.http.async_requests.empty());
    EXPECT_TRUE(again.http.sync_requests.empty());
}

} // namespace
} // namespace velmo::app
