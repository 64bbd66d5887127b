#include "identity/canvas_identity.h"

#include "text/gmt_stamp.h"

namespace velmo::identity {

std::string makeID(std::string_view nickname, double seconds) {
    std::string id(nickname);
    id += '@';
    id += text::gmtStampMillis(seconds);
    return id;
}

} // namespace velmo::identity
