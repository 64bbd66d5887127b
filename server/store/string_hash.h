#pragma once

#include <functional>
#include <string_view>

namespace velmo::server {

// Lets maps keyed by std::string be searched with a string_view, so a lookup on the hot paths
// builds no string: std::unordered_map<std::string, V, StringHash, std::equal_to<>>.
struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

} // namespace velmo::server
