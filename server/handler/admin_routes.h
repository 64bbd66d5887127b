#pragma once

#include "handler/http_types.h"
#include "handler/token_file.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::server {

struct HandlerContext;

// One moderation action, as the log names it. `count` is the strokes removed, -1 for an action
// that removes none (a ban).
struct AdminAction {
    std::string_view action; // "remove-user", "remove-canvas", "ban", "unban"
    std::string_view canvas_id = {};
    std::string_view user_name = {};
    std::string_view key_hash = {};
    int64_t count = -1;
};

// The operator's routes under /admin/, for the running server, which alone can tell the
// canvases' clients of a removal and refuse a banned user at once. Every request must bring
// "Authorization: Bearer <token>" with the operator's token (compared in constant time), else
// 401 with WWW-Authenticate: Bearer. Answers are text/plain, one item a line, IDs and names
// percent-encoded (wire::percentEncode) as they go into the paths and forms below:
//
// GET  /admin/canvases?after=ID&limit=N         "<canvas ID> <strokes> <last change>" for each
//      canvas with a stroke or a picture, by ID, those after `after`; N from 1 to 1000, default
//      100. A full page may have more: ask again with after= its last ID.
// GET  /admin/canvases/ID/users?after=NAME&limit=N
//                                               "<user name> <strokes> <key hash or ->", by name
// POST /admin/canvases/ID/remove-user  user=NAME   removes every stroke of NAME on the canvas
// POST /admin/canvases/ID/remove                   removes every stroke and picture of the canvas
//      (404 for an unknown canvas); both say how many strokes went. Every client of the canvas
//      is sent the delete notice and, on its event stream, a delete event, as after a delete.
// GET  /admin/bans                              "user <name> <since>" and "key <hash> <since>"
// POST /admin/bans  user=NAME | key=HASH        bans it: appends, strokes in progress and
//      pictures that name the user or bring the key (HASH as the users list shows it) are
//      refused with 403 from then on, on every instance.
// POST /admin/bans/remove  user=... | key=...   lifts the ban (404 when there is none); so
//      does DELETE /admin/bans?user=... | key=...
//
// Bodies are forms (application/x-www-form-urlencoded). Times are ISO 8601 UTC. Malformed
// input is answered 400 and changes nothing; a storage failure 503.
class AdminRoutes {
public:
    using Log = std::function<void(const AdminAction&)>;

    // `token` is the operator's secret (its hash alone is kept); `log` hears of every action
    // that changed something, once it is stored.
    AdminRoutes(std::string_view token, Log log);

    Response handle(const Request& request, HandlerContext& context, int64_t now_ms) const;

    // Whether an Authorization header value brings the token.
    bool authorized(std::string_view authorization) const;

private:
    void log(const AdminAction& action) const;

    BearerToken token_;
    Log log_;
};

// The value of `name` in a form or query ("a=1&b=x%20y"; '+' is a space), the first if it is
// given several times; nothing when it is absent or its value is not well percent-encoded.
std::optional<std::string> formValue(std::string_view form, std::string_view name);

} // namespace velmo::server
