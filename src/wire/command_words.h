#pragma once

#include <string_view>

namespace velmo::wire {

// A command, and a stroke line of a reply, read "<canvas ID>: <word>: <argument>". Each word
// is spelled once, here, together with the separators around it, so that a writer appends it
// in one piece; `wordOf` cuts the bare word out for the readers.
inline constexpr std::string_view AppendAfterID = ": append: ";
inline constexpr std::string_view DeleteAfterID = ": delete: ";
inline constexpr std::string_view GetStrokesAfterID = ": get_strokes: ";
inline constexpr std::string_view SearchCanvasListAfterID = ": search_canvas_list: ";
inline constexpr std::string_view UpdateThumbnailAfterID = ": update_thumbnail: ";
inline constexpr std::string_view UpdateFullimageAfterID = ": update_fullimage: ";

// What stands between the canvas ID and the word.
inline constexpr std::string_view AfterCanvasID = ": ";

constexpr std::string_view wordOf(std::string_view after_id) {
    return after_id.substr(AfterCanvasID.size(), after_id.size() - 2 * AfterCanvasID.size());
}

// The keys of the keyed arguments: the image URL of update_thumbnail and update_fullimage,
// and the searched nickname of search_canvas_list.
inline constexpr std::string_view UrlKey = "url:";
inline constexpr std::string_view NicknameKey = "nickname:";

} // namespace velmo::wire
