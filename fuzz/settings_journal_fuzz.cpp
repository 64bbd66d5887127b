#include "identity/settings_journal.h"

#include "canvas/pen_properties.h"
#include "canvas/stroke_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace velmo;

struct MemoryFile : platform::JournalFile {
    std::string readAll() override { return contents; }
    bool append(std::string_view bytes) override {
        contents += bytes;
        return true;
    }
    bool sync() override { return true; }
    bool replace(std::string_view bytes) override {
        contents = bytes;
        return true;
    }
    std::string contents;
};

constexpr float Scale = 0.001f;

// Any bytes where the journal should be: a defined state, never a read past the end, and the
// part read, read again alone, gives the same state without damage.
void readAsJournal(std::string_view bytes) {
    const std::string contents = identity::journalHeader(1) + std::string(bytes);
    identity::JournaledState state;
    const identity::JournalReplay replay = identity::replayJournal(contents, 1, state, Scale);
    if (!replay.matched || replay.valid_bytes > contents.size()) {
        std::abort();
    }
    identity::JournaledState again;
    const identity::JournalReplay prefix = identity::replayJournal(
        std::string_view(contents).substr(0, replay.valid_bytes), 1, again, Scale);
    if (!(again == state) || prefix.damaged_tail || prefix.applied != replay.applied) {
        std::abort();
    }
}

// The same bytes as changes, each a tag byte and a text up to the next zero byte, recorded
// through the journal and kept in a model beside it: the journal reads back as the model.
void recordAsChanges(std::string_view bytes) {
    MemoryFile file;
    identity::SettingsJournal journal(file);
    journal.restart(1);
    identity::JournaledState model;
    while (!bytes.empty()) {
        const auto tag = static_cast<unsigned char>(bytes[0]);
        const size_t end = bytes.find('\0', 1);
        const std::string text(bytes.substr(1, end == std::string_view::npos ? end : end - 1));
        bytes = end == std::string_view::npos ? std::string_view{} : bytes.substr(end + 1);
        const canvas::StrokeKey key{static_cast<int64_t>(text.size()) * 7919 - 40000,
                                    static_cast<int64_t>(tag) - 100};
        switch (tag % 7) {
        case 0: {
            // Stored as its text reads back, which is what the journal keeps.
            const canvas::MWStroke stroke = canvas::stroke_from_text(text, Scale);
            journal.strokeStored(key, stroke);
            model.strokes_history[key] =
                canvas::stroke_from_text(canvas::stroke_to_text(stroke), Scale);
            break;
        }
        case 1:
            journal.strokeErased(key);
            model.strokes_history.erase(key);
            break;
        case 2:
            journal.historyEmptied();
            model.strokes_history.clear();
            break;
        case 3:
            journal.canvasIDSet(text);
            model.canvas_id = text;
            break;
        case 4:
            journal.commandQueued(text);
            model.queued_commands.push_back(text);
            break;
        case 5:
            journal.commandRetired();
            if (!model.queued_commands.empty()) {
                model.queued_commands.pop_front();
            }
            break;
        default:
            journal.queueReplaced({text, text + "+"});
            model.queued_commands = {text, text + "+"};
            break;
        }
    }
    identity::JournaledState state;
    const identity::JournalReplay replay = identity::replayJournal(file.contents, 1, state, Scale);
    if (replay.damaged_tail || !(state == model)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    readAsJournal(bytes);
    recordAsChanges(bytes);
    return 0;
}
