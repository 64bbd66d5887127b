#include "test_client.h"
#include "window_scenes.h"

#include <QLabel>

#include <gtest/gtest.h>

#include <string>

using velmo::testing::TestClient;

namespace {

std::string infoLine(const TestClient& client) {
    return client.ui.info_label->text().toStdString();
}

bool says(const TestClient& client, const std::string& words) {
    return infoLine(client).find(words) != std::string::npos;
}

} // namespace

// The window's info line says when the server cannot be reached and how many strokes wait,
// as the state changes (not only at the next stroke), then that the server is back, briefly.
TEST(OfflineMark, TheInfoLineSaysWhatWaitsWhileTheServerIsAwayAndWhenItIsBack) {
    TestClient client(QSize(480, 640));
    client.launch();
    client.canvas().canvas_id = "anna@20261207120000000";
    client.canvas().sync_agent.setJitter([] { return 1.0; });
    EXPECT_FALSE(says(client, "offline")) << infoLine(client);

    drawTwoStrokesOffline(client);
    EXPECT_TRUE(says(client, " · offline: 2 strokes waiting")) << infoLine(client);

    // The retry, a second and a half later, by the agent's timer; the first stroke goes in.
    client.clock.advance(1.5);
    client.scheduler.tick();
    auto sent = velmo::testing::commandInFlight(client);
    ASSERT_TRUE(sent);
    client.http.answer(*sent, "", {503, std::nullopt});
    EXPECT_TRUE(says(client, "offline: 2 strokes waiting")) << "turned away: still offline";
    client.clock.advance(2.5);
    client.scheduler.tick();
    sent = velmo::testing::commandInFlight(client);
    ASSERT_TRUE(sent);
    client.http.answer(*sent, "");
    EXPECT_FALSE(says(client, "offline")) << infoLine(client);
    EXPECT_TRUE(says(client, " · back online")) << infoLine(client);

    // The second goes at once; the line says nothing of it once a few seconds have passed.
    sent = velmo::testing::commandInFlight(client);
    ASSERT_TRUE(sent);
    client.http.answer(*sent, "");
    EXPECT_TRUE(client.canvas().sync_agent.queued_commands.empty());
    client.clock.advance(velmo::mwcanvas::MWCanvas::BackOnlineSeconds);
    client.scheduler.tick();
    EXPECT_FALSE(says(client, "online")) << infoLine(client);

    // One stroke: the singular.
    drawWith(client, 0, 0xFF2060D0u, 16, velmo::testing::wave(400, 20));
    if (const auto poll = velmo::testing::commandInFlight(client)) {
        client.http.fail(*poll);
    }
    EXPECT_TRUE(says(client, "offline: 1 stroke waiting")) << infoLine(client);
}
