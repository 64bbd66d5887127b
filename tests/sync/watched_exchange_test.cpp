#include "sync/watched_exchange.h"

#include "support/scripted_http.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

namespace velmo::sync {
namespace {

TEST(WatchedExchange, TellsOfEvery2xxAfterTheRequestsOwnCallbacksAndOfNothingElse) {
    testing::ScriptedHttp inner;
    std::vector<std::string> heard;
    auto watched = std::make_unique<WatchedExchange>(inner);
    watched->setSeenListener([&] { heard.push_back("seen"); });
    const auto send = [&](bool with_finished) {
        platform::HttpCallbacks callbacks;
        callbacks.received = [&](std::string_view bytes) { heard.emplace_back(bytes); };
        if (with_finished) {
            callbacks.finished = [&](const platform::HttpStatus& status) {
                heard.push_back(std::to_string(status.code));
            };
        }
        callbacks.failed = [&] { heard.push_back("failed"); };
        watched->send({}, std::move(callbacks));
    };
    const struct {
        int status; // 0: no answer
        bool with_finished;
        std::vector<std::string> heard;
    } cases[] = {
        {200, true, {"body", "200", "seen"}},
        {204, true, {"body", "204", "seen"}},
        {200, false, {"body", "seen"}},
        {302, true, {"body", "302"}},
        {404, true, {"body", "404"}},
        {503, true, {"body", "503"}},
        {0, true, {"failed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        heard.clear();
        send(c.with_finished);
        const size_t index = inner.async_requests.size() - 1;
        if (c.status == 0) {
            inner.fail(index);
        } else {
            inner.answer(index, "body", {c.status, std::nullopt});
        }
        EXPECT_EQ(heard, c.heard);
    }

    heard.clear();
    inner.scriptSync("x");
    inner.scriptSyncStatus({500, std::nullopt}, "y");
    inner.scriptSync(std::nullopt);
    EXPECT_EQ(watched->sendSynchronously({})->body, "x");
    EXPECT_EQ(watched->sendSynchronously({})->status.code, 500);
    EXPECT_FALSE(watched->sendSynchronously({}));
    EXPECT_EQ(heard, std::vector<std::string>{"seen"});

    // An answer that comes after the watcher went reaches the request, and nothing else.
    heard.clear();
    send(true);
    watched.reset();
    inner.answer(inner.async_requests.size() - 1, "late");
    EXPECT_EQ(heard, (std::vector<std::string>{"late", "200"}));
}

} // namespace
} // namespace velmo::sync
