#pragma once

#include <string>
#include <string_view>

namespace velmo::identity {

// A canvas or user ID: the nickname, "@", and the GMT time of `seconds` since 1970 as
// "yyyyMMddHHmmssSSS". Its date code and the canvas a link names are read in wire/
// (date_id.h, canvas_link.h), since the server reads them too.
std::string makeID(std::string_view nickname, double seconds);

} // namespace velmo::identity
