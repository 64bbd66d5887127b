#include "sync/stroke_sync_agent.h"
#include "wire/canvas_id.h"
#include "wire/command_parser.h"
#include "wire/reply_line.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace velmo;

struct NoClock : platform::Clock {
    double now() const override { return 0.0; }
};

struct NoScheduler : platform::Scheduler {
    std::unique_ptr<platform::RepeatingTimer> scheduleRepeating(double,
                                                                std::function<void()>) override {
        return nullptr;
    }
    void postWhenIdle(const void*, std::function<void()>) override {}
    void cancelPosts(const void*) override {}
};

// Answers every synchronous request with the fuzz input.
struct EchoHttp : platform::HttpExchange {
    void send(const platform::HttpRequest&, platform::HttpCallbacks) override {}
    std::optional<platform::HttpAnswer> sendSynchronously(const platform::HttpRequest&) override {
        return platform::HttpAnswer{{}, reply};
    }
    std::string reply;
};

struct OneCanvas : sync::SyncCanvas {
    std::string canvasID() override { return "fuzz@20101201095959123"; }
    float pixelScale() const override { return 0.001f; }
    std::optional<std::string> keyHeader(std::string_view) override { return std::nullopt; }
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The server's writer, given a canvas ID and text that passed the command parser's limits
// (the input before and after its first NUL byte), writes lines the reader takes back as
// written.
void checkWrittenLines(std::string_view input) {
    const size_t cut = input.find('\0');
    if (cut == std::string_view::npos) {
        return;
    }
    const std::string_view canvas_id = input.substr(0, cut);
    const std::string_view text = input.substr(cut + 1);
    if (!wire::isValidCanvasId(canvas_id)) {
        return;
    }
    std::string reply;
    wire::appendDeleteNotice(reply, canvas_id);
    if (wire::classifyReplyLine(reply).kind != wire::ReplyLineKind::Delete) {
        std::abort();
    }
    const size_t before = reply.size();
    wire::appendStrokeLine(reply, canvas_id, text);
    if (reply.size() - before != wire::strokeLineSize(canvas_id, text)) {
        std::abort();
    }
    const auto lines = wire::splitReplyLines(reply);
    if (text.find('\n') == std::string_view::npos &&
        (lines.size() != 2 ||
         wire::classifyReplyLine(lines[1]).kind != wire::ReplyLineKind::Stroke)) {
        std::abort();
    }
    if (wire::isValidImageUrl(text)) {
        std::string entry;
        wire::appendCanvasListLine(entry, canvas_id, text);
        const wire::ReplyLine read = wire::classifyReplyLine(entry);
        if (read.kind == wire::ReplyLineKind::CanvasListEntry &&
            (read.canvas_id != canvas_id || read.thumbnail_url != text)) {
            std::abort();
        }
    }
}

} // namespace

// Every line gets one kind; a canvas-list entry names an ID of the search shape; the agent
// sorts any reply into its inboxes without reading past it; written lines read back.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    checkWrittenLines(reply);
    size_t lines = 0;
    size_t strokes = 0;
    size_t entries = 0;
    for (const std::string_view line : wire::splitReplyLines(reply)) {
        ++lines;
        if (line.find('\n') != std::string_view::npos) {
            std::abort();
        }
        const wire::ReplyLine read = wire::classifyReplyLine(line);
        if (read.kind == wire::ReplyLineKind::Stroke) {
            ++strokes;
        }
        if (read.kind != wire::ReplyLineKind::CanvasListEntry) {
            continue;
        }
        ++entries;
        const std::string_view id = read.canvas_id;
        if (id.size() < 19 || id.find(' ') != std::string_view::npos || id[id.size() - 18] != '@') {
            std::abort();
        }
        for (size_t i = id.size() - 17; i < id.size(); ++i) {
            if (!isDigit(id[i])) {
                std::abort();
            }
        }
        if (id.size() + 1 + read.thumbnail_url.size() != line.size()) {
            std::abort();
        }
    }

    NoClock clock;
    NoScheduler scheduler;
    EchoHttp http;
    http.reply = std::string(reply);
    OneCanvas canvas;
    sync::StrokeSyncAgent agent(http, scheduler, clock, "http://127.0.0.1:8640/");
    agent.canvas = &canvas;
    agent.search_canvas_list("fuzz");
    if (agent.error_occcured || agent.returned_strokes.size() != strokes ||
        agent.canvas_list.size() != entries || lines == 0) {
        std::abort();
    }
    for (const auto& stroke : agent.returned_strokes) {
        if (stroke.points_x.size() != stroke.points_y.size()) {
            std::abort();
        }
    }
    return 0;
}
