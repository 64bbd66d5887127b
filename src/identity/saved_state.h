#pragma once

#include "identity/settings_journal.h"
#include "platform/settings_store.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::identity {

// The journaled state as the settings hold it, and where the journal goes on from them.
//
// A full save records the journal's generation and how many of its bytes it holds: a journal
// of that generation is read from there on; one of the next generation was started after the
// save (carrying what the save did not hold) and is read whole. So the save can be made from
// a copy of the journal while the journal goes on, and the journal can be started afresh
// after it, with no moment at which a crash loses what either held.
struct SavedJournalPlace {
    uint64_t generation = 0;
    size_t offset = 0; // 0: the whole journal of that generation
};

SavedJournalPlace savedJournalPlace(const platform::SettingsStore& settings);

// The canvas ID, the history and the queue in the settings. Each stroke goes under its own
// server and client times (an unconfirmed one under server time 0).
JournaledState readSavedState(const platform::SettingsStore& settings, float pixel_scale);

// Writes the state, and the journal's place when there is one, into the settings; does not
// synchronize them.
void writeSavedState(platform::SettingsStore& settings, const std::string& canvas_id,
                     const canvas::StrokeMap& strokes, const std::deque<std::string>& queue,
                     const std::optional<SavedJournalPlace>& place);

struct SavedJournalReplay {
    JournalReplay replay;
    // The journal's generation, when it matched; its valid bytes, counted from its start.
    uint64_t generation = 0;
};

// Applies to `state` what the journal holds past the settings' place; then each stroke is
// under its own server and client times, as readSavedState puts them.
SavedJournalReplay applySavedJournal(std::string_view contents, const SavedJournalPlace& place,
                                     JournaledState& state, float pixel_scale);

struct FoldResult {
    bool folded = false;
    // The journal's generation and the bytes of it the settings now hold.
    SavedJournalPlace place;
};

// A full save made from the settings and a copy of the journal: what the journal holds past
// the settings' place is written into them, and they are synchronized. Nothing is written
// when the journal does not go on from them.
FoldResult foldSavedState(platform::SettingsStore& settings, std::string_view journal_contents,
                          float pixel_scale);

} // namespace velmo::identity
