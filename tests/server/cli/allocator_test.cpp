#include "support/sanitized.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "wire/command_text.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace velmo::server {
namespace {

using namespace std::chrono_literals;
using testing::Connection;
using testing::postRequest;
using testing::ServerProcess;

constexpr const char* Canvas = "crowd@20101201095959123";

using testing::Sanitized;

// A connection to the server from a loopback address of its own (Linux routes all of 127/8 to
// lo), which sends one request and never reads the answer.
class UnreadClient {
public:
    UnreadClient(const std::string& from, int port, const std::string& request) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<uint16_t>(port));
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sent_ = bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
                ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) ==
                    static_cast<ssize_t>(request.size());
    }
    ~UnreadClient() { close(fd_); }
    UnreadClient(const UnreadClient&) = delete;
    UnreadClient& operator=(const UnreadClient&) = delete;

    bool sent() const { return sent_; }

private:
    int fd_ = -1;
    bool sent_ = false;
};

// Strokes of mixed sizes, as on a canvas drawn on for long: small ones and long ones.
canvas::MWStroke stroke(int index) {
    static constexpr int Points[] = {40, 150, 600, 1200, 5000};
    canvas::MWStroke s;
    s.client_time = 1291201000000 + index;
    s.user_name = "painter" + std::to_string(index % 20) + "@1";
    s.pen_properties = {static_cast<int32_t>(0xFF203040u), 1999, 128};
    for (int i = 0; i < Points[index % 5]; ++i) {
        s.points_x.push_back(100000 + (index * 37 + i * 4001) % 200000);
        s.points_y.push_back(100000 + (index * 53 + i * 7001) % 300000);
    }
    return s;
}

// What the server holds for clients that ask for a whole large canvas and never read: at most
// its reply budget while they wait, and little once they are gone (memory that went into
// their replies goes back to the system rather than staying in the worker threads' heaps).
TEST(ServerMemory, UnreadRepliesFromManyAddressesStayWithinTheReplyBudget) {
    if (Sanitized) {
        GTEST_SKIP() << "resident memory says nothing under AddressSanitizer";
    }
    constexpr int64_t BudgetMiB = 24; // 12 replies of two 1 MiB pages at once
    constexpr int Clients = 60;
    testing::TempDir dir;
    ServerProcess server(
        dir.file("canvas.sqlite"), dir.file("server.log"),
        {"--quiet", "--append-rate", "0", "--reply-budget", std::to_string(BudgetMiB)});
    ASSERT_TRUE(server.start()) << server.log();
    {
        Connection writer(server.port());
        for (int i = 0; i < 1200; ++i) {
            ASSERT_TRUE(writer.send(postRequest("/", wire::appendCommand(Canvas, stroke(i)))));
            const auto reply = writer.read();
            ASSERT_TRUE(reply && reply->status == 200) << "stroke " << i;
        }
    }
    const std::string get_strokes = postRequest("/", wire::getStrokesCommand(Canvas));
    // Read whole once, so that what any first read sets up (store connections, threads) is
    // there before the count starts.
    size_t canvas_bytes = 0;
    {
        Connection reader(server.port());
        reader.send(get_strokes);
        const auto whole = reader.read(60s);
        ASSERT_TRUE(whole && whole->status == 200);
        canvas_bytes = whole->body.size();
    }
    ASSERT_GT(canvas_bytes, size_t{BudgetMiB / 2} << 20) << "many pages a reply";
    std::this_thread::sleep_for(500ms);
    const int64_t before = server.residentKiB();

    std::vector<std::unique_ptr<UnreadClient>> clients;
    for (int i = 0; i < Clients; ++i) {
        clients.push_back(std::make_unique<UnreadClient>("127.0.0." + std::to_string(2 + i),
                                                         server.port(), get_strokes));
        ASSERT_TRUE(clients.back()->sent()) << "client " << i;
    }
    // Until the server stops growing: 1.5 s without a new high, 15 s at most.
    int64_t highest = before;
    auto last_rise = testing::Clock::now();
    const auto deadline = last_rise + 15s;
    while (testing::Clock::now() - last_rise < 1500ms && testing::Clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        if (const int64_t now = server.residentKiB(); now > highest) {
            highest = now;
            last_rise = testing::Clock::now();
        }
    }
    clients.clear();
    // An allocator that gives freed memory back after a delay has had it.
    std::this_thread::sleep_for(2500ms);
    const int64_t after = server.residentKiB();

    // The budget counts the replies only: a quarter more for what else a crowd of readers
    // holds (their connections' buffers, the store's reads, the heaps' own slack). Once they
    // are gone, what is left is what the threads that served them keep for the next ones (the
    // heaps' slack, the store's page caches); freed replies must not stay behind with it.
    const int64_t waiting_bound = BudgetMiB * 1024 * 5 / 4;
    const int64_t gone_bound = BudgetMiB * 1024 * 3 / 4;
    std::printf("canvas %zu bytes, %d clients, reply budget %lld KiB: resident KiB before %lld, "
                "highest %lld (+%lld, bound +%lld), after they left %lld (+%lld, bound +%lld)\n",
                canvas_bytes, Clients, static_cast<long long>(BudgetMiB * 1024),
                static_cast<long long>(before), static_cast<long long>(highest),
                static_cast<long long>(highest - before), static_cast<long long>(waiting_bound),
                static_cast<long long>(after), static_cast<long long>(after - before),
                static_cast<long long>(gone_bound));
    EXPECT_LT(highest - before, waiting_bound);
    EXPECT_LT(after - before, gone_bound);

    // The budget is whole again: a client that reads gets the whole canvas.
    Connection reader(server.port());
    reader.send(get_strokes);
    const auto again = reader.read(60s);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);
    EXPECT_EQ(again->body.size(), canvas_bytes);
    EXPECT_EQ(server.stop(), 0);
}

} // namespace
} // namespace velmo::server
