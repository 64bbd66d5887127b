#pragma once

#include <optional>
#include <string_view>

namespace velmo::wire {

// A canvas ID names a canvas in every command, reply line, URL and database row. Accepted:
// 1 to 256 bytes, none of them a space, a control byte (below 0x20) or DEL; anything else
// (including non-ASCII UTF-8) is kept as it is.
bool isValidCanvasId(std::string_view id);

// A user name travels inside stroke texts and comes back in reply lines, so a control byte
// in it could forge lines for other clients. At most 256 bytes, no control byte or DEL; it
// may be empty (the client always sends one, but nothing breaks without).
bool isValidUserName(std::string_view name);

// The creator's nickname: the ID before its last "@". Nothing when there is no "@".
std::optional<std::string_view> nicknameOf(std::string_view canvas_id);

} // namespace velmo::wire
