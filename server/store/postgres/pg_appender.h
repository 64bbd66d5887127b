#pragma once

#include "store/append_queue.h"
#include "store/recent_strokes.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmo::server {

class PgConnection;
class PgDeliveries;

// The append path of the PostgreSQL store: one committer thread with a connection of its own
// takes every append queued while it was busy and stores them in one transaction, so appends
// arriving together share one commit. In that transaction each canvas's row is locked (in
// canvas order, so instances never deadlock), which makes stamps rise strictly per canvas
// whichever instance gives them; a stroke identical to one stored under the same user name
// and client time, by any instance, is not stored again. The other instances hear of the
// strokes by a NOTIFY sent with the commit. Where memory holds everything the author has yet
// to be sent, the same transaction takes the author's delivery for the reply (PgDeliveries),
// so a reply costs no statement of its own. Every step is one statement for the whole batch.
// Once committed, the strokes go to memory and the appends are answered; a failed transaction
// answers all of its appends with nothing.
class PgAppender {
public:
    // `instance` names this server in its announcements. `publish_mutex` is held from the
    // commit until memory has the strokes. The memory and the mutex must outlive this.
    PgAppender(std::string uri, std::string instance, RecentStrokes& recent,
               PgDeliveries& deliveries, std::mutex& publish_mutex);
    // Answers every queued append, then stops the thread.
    ~PgAppender();
    PgAppender(const PgAppender&) = delete;
    PgAppender& operator=(const PgAppender&) = delete;

    // `done` is called on the committer's thread once the stroke is committed, or refused.
    // The stroke's text with stamp 0 is made here, on the caller's thread.
    void append(std::unique_ptr<PendingAppend> pending);

    // The hash by which a resent stroke is recognised: of its text with the stamp left out.
    static int64_t bodyHash(const canvas::MWStroke& stroke);
    static int64_t bodyHash(std::string_view unstamped_text);

private:
    void commitLoop();
    // The new strokes of one canvas in a committed batch (none when all were resends).
    struct Added {
        std::string canvas_id;
        int64_t stamped_after = 0; // the canvas's last stamp in the database before them
        std::vector<RecentStroke> strokes;
    };
    // A delivery mark the batch moved: the cache learns it once committed.
    struct Moved {
        std::string canvas_id;
        std::string user_name;
        int64_t mark = 0;
        uint64_t deletes = 0; // deletes heard of on the canvas before the batch
    };
    // How a batch is stored. Expected: stamps follow memory's last stamps, in one round trip;
    // the appends of a canvas another instance stored on since go to `stale`, not stored. Read:
    // stamps follow the last stamps read under the locks. Careful: as Read, and a stroke stored
    // before is found (the others fail on it).
    enum class Mode { Expected, Read, Careful };
    // Stores the batch; fills each append's stamp and delivery, and adds to `added` the new
    // strokes per canvas and to `moved` the marks taken. Locks `publish` before the commit
    // unless held. Throws PgError: then nothing was stored.
    void commit(std::vector<PendingAppend*>& appends, std::vector<Added>& added,
                std::vector<Moved>& moved, std::unique_lock<std::mutex>& publish, Mode mode,
                std::vector<PendingAppend*>* stale);

    std::string uri_;
    std::string instance_;
    RecentStrokes& recent_;
    PgDeliveries& deliveries_;
    std::mutex& publish_mutex_;
    std::unique_ptr<PgConnection> conn_; // opened again when lost
    AppendQueue queue_;
    std::thread committer_;
};

} // namespace velmo::server
