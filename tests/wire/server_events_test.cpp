#include "wire/server_events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::wire {

using namespace std::string_literals;
namespace {

std::vector<ServerEvent> parse(const std::vector<std::string>& pieces) {
    ServerEventParser parser;
    std::vector<ServerEvent> events;
    for (const std::string& piece : pieces) {
        parser.feed(piece, [&](const ServerEvent& event) { events.push_back(event); });
    }
    return events;
}

// Whole, and one byte at a time: the events must not depend on where the bytes were cut.
std::vector<ServerEvent> parseBothWays(const std::string& stream) {
    std::vector<std::string> bytes;
    for (const char c : stream) {
        bytes.emplace_back(1, c);
    }
    const auto whole = parse({stream});
    EXPECT_EQ(parse(bytes), whole) << stream;
    return whole;
}

ServerEvent event(std::string type, std::string data, std::string id = "") {
    return {std::move(type), std::move(data), std::move(id)};
}

TEST(ServerEvents, WhatTheServerWritesTheClientReads) {
    const std::string stream = std::string(KeepAliveComment) + serverEventText(ReadyEvent, "0") +
                               std::string(KeepAliveComment) +
                               serverEventText(AppendEvent, "1291201300000") +
                               serverEventText(DeleteEvent, "");
    EXPECT_EQ(parseBothWays(stream),
              (std::vector<ServerEvent>{event("ready", "0"), event("append", "1291201300000"),
                                        event("delete", "")}));
    EXPECT_EQ(eventStreamURL("http://127.0.0.1:8640/", "anna b@20101201095959123"),
              "http://127.0.0.1:8640/events/anna%20b@20101201095959123");
    EXPECT_EQ(eventStreamURL("http://h:1", "x/y"), "http://h:1/events/x%2Fy");
}

TEST(ServerEvents, StreamsFromAnyServerAreReadAsTheFormatSays) {
    const struct {
        std::string stream;
        std::vector<ServerEvent> events;
    } cases[] = {
        {"data: a\n\n", {event("message", "a")}},
        {"data: a\r\n\r\n", {event("message", "a")}},
        {"data: a\r\rdata:b\n\n", {event("message", "a"), event("message", "b")}},
        {"\xEF\xBB\xBF"
         "data: a\n\n",
         {event("message", "a")}},
        // A byte-order mark counts only at the very start.
        {"data: a\n\n\xEF\xBB\xBF"
         "data: b\n\n",
         {event("message", "a")}},
        {"\xEF\xBB"
         "data: a\n\n",
         {}},
        {"event: x\ndata: 1\ndata:  2\ndata\n\n", {event("x", "1\n 2\n")}},
        {": comment\nretry: 10\nfoo: bar\nevent: y\ndata\n\n", {event("y", "")}},
        // An event without data is no event, and its type does not carry over.
        {"event: lost\n\ndata: z\n\n", {event("message", "z")}},
        {"id: 7\ndata: a\n\ndata: b\n\n", {event("message", "a", "7"), event("message", "b", "7")}},
        {"id: 8\0x\ndata: a\n\n"s, {event("message", "a")}},
        // Unfinished at the end: nothing yet.
        {"data: a\n", {}},
        {"", {}},
        {"\n\n\r\n:\n", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseBothWays(c.stream), c.events) << c.stream;
    }
}

TEST(ServerEvents, AHostileStreamHoldsBoundedMemory) {
    // A line longer than the limit is dropped whole; the stream goes on after it.
    const std::string long_line = "data: " + std::string(ServerEventParser::MaxLine, 'x');
    EXPECT_EQ(parse({long_line + "\n\n", "data: ok\n\n"}),
              (std::vector<ServerEvent>{event("message", "ok")}));
    EXPECT_EQ(parse({"event: a\n" + long_line + "\ndata: 1\n\n"}),
              (std::vector<ServerEvent>{event("a", "1")}));
    // Data stops growing at its limit.
    std::string many;
    for (int i = 0; i < 100; ++i) {
        many += "data: " + std::string(1000, 'y') + "\n";
    }
    const auto events = parse({many + "\n"});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_LE(events[0].data.size(), ServerEventParser::MaxData);
    EXPECT_GE(events[0].data.size(), ServerEventParser::MaxData - 1001);
}

TEST(ServerEvents, StampsAreDigitsOnly) {
    const struct {
        std::string data;
        std::optional<int64_t> stamp;
    } cases[] = {
        {"0", 0},
        {"1291201300000", 1291201300000},
        {"999999999999999999", 999999999999999999},
        {"1000000000000000000", std::nullopt},
        {"", std::nullopt},
        {"-1", std::nullopt},
        {" 1", std::nullopt},
        {"1x", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eventStamp(c.data), c.stamp) << c.data;
    }
}

} // namespace
} // namespace velmo::wire
