#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::sync {

// What a sync agent needs of the canvas it speaks for.
class SyncCanvas {
public:
    virtual ~SyncCanvas() = default;
    // The ID of the open canvas, made at this moment if the canvas has none yet; every
    // command starts with it.
    virtual std::string canvasID() = 0;
    // Pixels per canvas unit: decoded strokes take their default pen from it.
    virtual float pixelScale() const = 0;
    // The key header value that proves `user_id` is this client's, nothing when the client has
    // no key for it. An empty `user_id` asks for the current user, if one has been made: a
    // command without a stroke speaks for it.
    virtual std::optional<std::string> keyHeader(std::string_view user_id) = 0;
};

} // namespace velmo::sync
