#pragma once

#include "platform/settings_store.h"

#include <string>

namespace velmo::identity {

// Keys of the saved state, and of the two endpoints read once at launch.
inline constexpr const char* UserNicknameKey = "UserNickname";
inline constexpr const char* SearchNicknameKey = "SearchNickname";
inline constexpr const char* CanvasIDKey = "CanvasID";
inline constexpr const char* StrokesHistoryKey = "StrokesHistory";
inline constexpr const char* QueuedCommandsKey = "QueuedCommands";
// The number of the last full save; the journal of changes since names it (SettingsJournal).
inline constexpr const char* JournalGenerationKey = "JournalGeneration";
// How many bytes of that journal the settings hold (saved_state.h).
inline constexpr const char* JournalOffsetKey = "JournalOffset";
inline constexpr const char* ServerURLKey = "ServerURL";
inline constexpr const char* GyazoURLKey = "GyazoURL";

// The local canvas server that the run command starts.
inline constexpr const char* DefaultServerBaseURL = "http://127.0.0.1:8640/";

// "ServerURL" when it holds a string, else the built-in default.
std::string serverBaseURL(const platform::SettingsStore& settings);
// "GyazoURL" when it holds a string, else the canvas server's own "/upload.cgi".
std::string imageHostURL(const platform::SettingsStore& settings,
                         const std::string& server_base_url);

} // namespace velmo::identity
