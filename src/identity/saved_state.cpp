#include "identity/saved_state.h"

#include "canvas/stroke_text.h"
#include "identity/saved_settings.h"

#include <charconv>
#include <string>
#include <vector>

namespace velmo::identity {
namespace {

template <typename Number>
Number numberAt(const platform::SettingsStore& settings, const char* key) {
    const std::string text = settings.stringValue(key).value_or("0");
    Number value{};
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

} // namespace

SavedJournalPlace savedJournalPlace(const platform::SettingsStore& settings) {
    return {numberAt<uint64_t>(settings, JournalGenerationKey),
            numberAt<size_t>(settings, JournalOffsetKey)};
}

JournaledState readSavedState(const platform::SettingsStore& settings, float pixel_scale) {
    JournaledState state;
    state.canvas_id = settings.stringValue(CanvasIDKey).value_or("");
    if (auto texts = settings.stringList(StrokesHistoryKey)) {
        for (const std::string& text : *texts) {
            canvas::MWStroke stroke = canvas::stroke_from_text(text, pixel_scale);
            const canvas::StrokeKey key{stroke.server_time, stroke.client_time};
            state.strokes_history[key] = std::move(stroke);
        }
    }
    for (std::string& command :
         settings.stringList(QueuedCommandsKey).value_or(std::vector<std::string>{})) {
        state.queued_commands.push_back(std::move(command));
    }
    return state;
}

void writeSavedState(platform::SettingsStore& settings, const std::string& canvas_id,
                     const canvas::StrokeMap& strokes, const std::deque<std::string>& queue,
                     const std::optional<SavedJournalPlace>& place) {
    settings.setString(CanvasIDKey, canvas_id);
    std::vector<std::string> history;
    history.reserve(strokes.size());
    for (const auto& [key, stroke] : strokes) {
        history.push_back(canvas::stroke_to_text(stroke));
    }
    settings.setStringList(StrokesHistoryKey, history);
    settings.setStringList(QueuedCommandsKey, {queue.begin(), queue.end()});
    if (place) {
        settings.setString(JournalGenerationKey, std::to_string(place->generation));
        settings.setString(JournalOffsetKey, std::to_string(place->offset));
    }
}

namespace {

SavedJournalReplay replayPastPlace(std::string_view contents, const SavedJournalPlace& place,
                                   JournaledState& state, float pixel_scale) {
    SavedJournalReplay result;
    const std::string header = journalHeader(place.generation);
    if (place.offset > header.size() && contents.starts_with(header)) {
        // Read from the place on, as if it followed the header.
        if (place.offset > contents.size()) {
            result.replay.matched = true;
            result.replay.valid_bytes = contents.size();
            result.generation = place.generation;
            return result;
        }
        const std::string rest = header + std::string(contents.substr(place.offset));
        result.replay = replayJournal(rest, place.generation, state, pixel_scale);
        result.replay.valid_bytes += place.offset - header.size();
        result.generation = place.generation;
        return result;
    }
    for (const uint64_t generation : {place.generation, place.generation + 1}) {
        result.replay = replayJournal(contents, generation, state, pixel_scale);
        if (result.replay.matched) {
            result.generation = generation;
            return result;
        }
    }
    return result;
}

} // namespace

SavedJournalReplay applySavedJournal(std::string_view contents, const SavedJournalPlace& place,
                                     JournaledState& state, float pixel_scale) {
    SavedJournalReplay result = replayPastPlace(contents, place, state, pixel_scale);
    // As a full save keeps them: an unconfirmed stroke goes under its own server time, 0.
    canvas::StrokeMap history;
    for (auto& [key, stroke] : state.strokes_history) {
        history[{stroke.server_time, stroke.client_time}] = std::move(stroke);
    }
    state.strokes_history = std::move(history);
    return result;
}

FoldResult foldSavedState(platform::SettingsStore& settings, std::string_view journal_contents,
                          float pixel_scale) {
    JournaledState state = readSavedState(settings, pixel_scale);
    const SavedJournalReplay read =
        applySavedJournal(journal_contents, savedJournalPlace(settings), state, pixel_scale);
    FoldResult result;
    if (!read.replay.matched) {
        return result;
    }
    result.place = {read.generation, read.replay.valid_bytes};
    writeSavedState(settings, state.canvas_id, state.strokes_history, state.queued_commands,
                    result.place);
    settings.synchronize();
    result.folded = true;
    return result;
}

} // namespace velmo::identity
