#include "wire/command_parser.h"

#include "canvas/stroke_text.h"
#include "wire/canvas_id.h"
#include "wire/command_words.h"
#include "wire/wire_limits.h"

#include <array>
#include <utility>

namespace velmo::wire {
namespace {

struct Word {
    std::string_view name;
    CommandKind kind;
};

constexpr std::array<Word, 7> Words = {{
    {wordOf(AppendAfterID), CommandKind::Append},
    {wordOf(DeleteAfterID), CommandKind::Delete},
    {wordOf(GetStrokesAfterID), CommandKind::GetStrokes},
    {wordOf(SearchCanvasListAfterID), CommandKind::SearchCanvasList},
    {wordOf(UpdateThumbnailAfterID), CommandKind::UpdateThumbnail},
    {wordOf(UpdateFullimageAfterID), CommandKind::UpdateFullimage},
    {wordOf(ProgressAfterID), CommandKind::Progress},
}};

CommandError error(int status, std::string message) {
    return {status, std::move(message)};
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The URL and nickname arguments are "key:value"; the client puts one space before the key.
std::optional<std::string_view> keyedArgument(std::string_view argument, std::string_view key) {
    while (!argument.empty() && argument.front() == ' ') {
        argument.remove_prefix(1);
    }
    if (argument.substr(0, key.size()) != key) {
        return std::nullopt;
    }
    return argument.substr(key.size());
}

} // namespace

bool isValidImageUrl(std::string_view url) {
    if (url.size() > MaxImageUrl) {
        return false;
    }
    if (!startsWithNoCase(url, "http://") && !startsWithNoCase(url, "https://")) {
        return false;
    }
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return false;
        }
    }
    return true;
}

std::variant<Command, CommandError> parseCommand(std::string_view body) {
    const size_t id_end = body.find(AfterCanvasID);
    if (id_end == std::string_view::npos) {
        return error(400, "no canvas ID");
    }
    Command command;
    const std::string_view canvas_id = body.substr(0, id_end);
    if (!isValidCanvasId(canvas_id)) {
        return error(400, "bad canvas ID");
    }
    const std::string_view rest = body.substr(id_end + AfterCanvasID.size());
    const size_t word_end = rest.find(':');
    if (word_end == std::string_view::npos) {
        return error(400, "no command");
    }
    const std::string_view word = rest.substr(0, word_end);
    const std::string_view argument = rest.substr(word_end + 1);
    const Word* found = nullptr;
    for (const Word& w : Words) {
        if (w.name == word) {
            found = &w;
        }
    }
    if (found == nullptr) {
        return error(400, "unknown command");
    }
    command.kind = found->kind;
    command.canvas_id = std::string(canvas_id);

    switch (command.kind) {
    case CommandKind::Append:
    case CommandKind::Delete:
        command.stroke = canvas::stroke_from_text(argument, ServerPixelScale);
        if (!isValidUserName(command.stroke.user_name)) {
            return error(400, "bad user name");
        }
        if (command.stroke.points_x.size() > MaxStrokePoints) {
            return error(413, "too many points");
        }
        break;
    case CommandKind::GetStrokes:
        break;
    case CommandKind::SearchCanvasList: {
        const auto nickname = keyedArgument(argument, NicknameKey);
        if (!nickname) {
            return error(400, "no nickname");
        }
        if (nickname->size() > MaxNickname) {
            return error(400, "nickname too long");
        }
        command.text = std::string(*nickname);
        break;
    }
    case CommandKind::UpdateThumbnail:
    case CommandKind::UpdateFullimage: {
        const auto url = keyedArgument(argument, UrlKey);
        if (!url || !isValidImageUrl(*url)) {
            return error(400, "bad URL");
        }
        command.text = std::string(*url);
        break;
    }
    case CommandKind::Progress: {
        auto progress = parseProgress(argument, ServerPixelScale);
        if (!progress) {
            return error(400, "bad progress");
        }
        command.progress = std::move(*progress);
        break;
    }
    }
    return command;
}

std::string commandUserName(std::string_view body) {
    auto parsed = parseCommand(body);
    auto* command = std::get_if<Command>(&parsed);
    if (command == nullptr ||
        (command->kind != CommandKind::Append && command->kind != CommandKind::Delete)) {
        return {};
    }
    return std::move(command->stroke.user_name);
}

} // namespace velmo::wire
