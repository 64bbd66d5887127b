#pragma once

#include "canvas/mw_stroke.h"

#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::server {

// One stored stroke. `text` is its stroke text with the server's stamp in it, exactly as it
// goes into reply lines after "<canvas ID>: append:".
struct StoredStroke {
    int64_t server_time = 0;
    int64_t client_time = 0;
    std::string text;

    bool operator==(const StoredStroke&) const = default;
};

struct CanvasInfo {
    std::string canvas_id;
    std::string thumbnail_url; // empty when none was registered
    std::string fullimage_url;
    int64_t last_activity = 0; // ms since 1970

    bool operator==(const CanvasInfo&) const = default;
};

// A canvas as moderation lists it (Store::listCanvases).
struct CanvasSummary {
    std::string canvas_id;
    int64_t strokes = 0;
    int64_t last_activity = 0; // ms since 1970

    bool operator==(const CanvasSummary&) const = default;
};

// A user name with strokes on a canvas (Store::canvasUsers), and the hash of the key it is bound
// to (empty when it is bound to none), which a ban by key names.
struct CanvasUser {
    std::string user_name;
    int64_t strokes = 0;
    std::string key_hash;

    bool operator==(const CanvasUser&) const = default;
};

// A ban of a user name, or of a key by its hash (sha256Hex of the key, as user_keys keep it):
// the server refuses the appends that name or bring it.
struct Ban {
    enum class Kind { UserName, Key };
    Kind kind = Kind::UserName;
    std::string value;
    int64_t since = 0; // ms since 1970; ignored by setBan when lifting

    bool operator==(const Ban&) const = default;
};

// What a look-up of one canvas found (Store::canvas). A storage failure is not an unknown
// canvas: a reader answers it with "try again", never with "no such canvas".
struct CanvasLookup {
    enum class Outcome { Found, NoSuchCanvas, StorageFailed };
    Outcome outcome = Outcome::NoSuchCanvas;
    CanvasInfo info; // when Found

    bool found() const { return outcome == Outcome::Found; }
    bool failed() const { return outcome == Outcome::StorageFailed; }
    static CanvasLookup of(CanvasInfo info) { return {Outcome::Found, std::move(info)}; }
    static CanvasLookup none() { return {Outcome::NoSuchCanvas, {}}; }
    static CanvasLookup failure() { return {Outcome::StorageFailed, {}}; }

    bool operator==(const CanvasLookup&) const = default;
};

enum class ImageKind { Thumbnail, FullImage };

// What a command's key says about its user name (Store::checkUserKey).
enum class KeyCheck { Unbound, Matches, Mismatch };

// A delivery mark kept across a clean restart (see DeliveryMarks).
struct SavedMark {
    std::string canvas_id;
    std::string user_name;
    int64_t mark = 0;
    bool owes_notice = false;
    int64_t last_seen = 0;

    bool operator==(const SavedMark&) const = default;
};

// An author's delivery taken by the store with the append, in the append's own transaction
// (see Store::appendStrokeAsync): the user's mark before it, whether a delete notice was owed
// (it counts as given), and every stroke after that mark up to where the mark now stands.
struct TakenDelivery {
    int64_t mark = 0;
    bool owes_notice = false;
    std::vector<StoredStroke> strokes;
};

// How an append ended: its stamp, nothing on a storage failure, and the author's delivery when
// the store took it.
struct Appended {
    std::optional<int64_t> stamp;
    std::optional<TakenDelivery> delivery;
};

// Durable storage of canvases, strokes and hosted images. Every method is safe to call from
// several threads at once. A method that returns nothing (or false where it reports success)
// met a storage failure; nothing was changed then. Strings are bytes, stored as given.
class Store {
public:
    virtual ~Store() = default;

    // Stamps `stroke` (its own server_time is ignored) with max(now_ms, the canvas's last
    // stamp + 1) and stores it; on return the stroke survives a crash of the process. A stroke
    // identical to one already stored under the same user name and client time (a resent
    // command whose reply was lost) is not stored twice: the stored one's stamp is returned.
    virtual std::optional<int64_t> appendStroke(std::string_view canvas_id,
                                                const canvas::MWStroke& stroke, int64_t now_ms) = 0;

    // appendStroke without holding the caller's thread during the flush: `done` gets the stamp
    // (nothing on a storage failure), possibly on another thread, once the stroke is durable.
    // With `reply_bytes` above 0 the store may also take the author's delivery for the reply
    // (DeliveryBook::take and advance in one), when its strokes come to at most that many
    // bytes of text: the caller must then send exactly those.
    using AppendDone = std::function<void(Appended)>;
    virtual void appendStrokeAsync(std::string canvas_id, canvas::MWStroke stroke, int64_t now_ms,
                                   size_t reply_bytes, AppendDone done) {
        (void)reply_bytes;
        done({appendStroke(canvas_id, stroke, now_ms), std::nullopt});
    }

    // The canvas's strokes stamped after `after`, in (server time, client time) order, at
    // most `limit` of them.
    virtual std::optional<std::vector<StoredStroke>> strokesAfter(std::string_view canvas_id,
                                                                  int64_t after, size_t limit) = 0;

    // The newest stamp given on the canvas, 0 for an unknown canvas. Answered from memory:
    // a poll with nothing new never reaches the database.
    virtual int64_t lastStamp(std::string_view canvas_id) = 0;

    // Removes the canvas's strokes of `user_name` with `client_time`; the number removed.
    virtual std::optional<size_t> deleteStrokes(std::string_view canvas_id,
                                                std::string_view user_name, int64_t client_time,
                                                int64_t now_ms) = 0;

    virtual bool setImageUrl(std::string_view canvas_id, ImageKind kind, std::string_view url,
                             int64_t now_ms) = 0;

    // Canvases with a stroke or a registered image, newest activity first. An empty
    // `nickname` matches every canvas; otherwise the creator nickname (the ID before its last
    // "@") must equal it, ASCII case ignored. Nothing when storage fails, a full disk included:
    // never a short list.
    virtual std::optional<std::vector<CanvasInfo>> findCanvases(std::string_view nickname,
                                                                size_t limit) = 0;

    // The canvases whose ID gives this share-link date ID, at most `limit`, the one that had
    // the code first leading: by their first stored stroke, earliest first (canvases holding
    // only an image come last), then by ID. Anyone can make a canvas with another canvas's
    // time stamp, so the code's first holder keeps it however active the others are. Empty
    // when none is known; nothing when storage fails.
    virtual std::optional<std::vector<CanvasInfo>> canvasesByDateId(std::string_view date_id,
                                                                    size_t limit) = 0;

    // The canvas with this ID if it holds a stroke or an image URL; NoSuchCanvas when it holds
    // neither, StorageFailed when storage could not tell (a SQLite store whose journal cannot
    // be copied into the database, a full disk, cannot tell either).
    virtual CanvasLookup canvas(std::string_view canvas_id) = 0;

    // Strokes and bytes of stroke text; what the size cap of a canvas counts.
    struct CanvasSize {
        int64_t strokes = 0;
        int64_t bytes = 0;

        bool operator==(const CanvasSize&) const = default;
    };
    // What the canvas holds now (0, 0 for an unknown canvas); nothing on a storage failure.
    virtual std::optional<CanvasSize> canvasSize(std::string_view canvas_id) = 0;

    // Delivery marks live in memory; a clean shutdown saves them here and the next start takes
    // them back (and removes them), so a restart neither resends strokes nor loses a delete
    // notice. saveMarks replaces whatever was saved.
    virtual bool saveMarks(const std::vector<SavedMark>& marks) = 0;
    virtual std::optional<std::vector<SavedMark>> takeSavedMarks() = 0;

    // User names bound to the hash of their client's secret key, for good: a bound name never
    // changes its hash.
    // `key_hash` empty: the command brought no key. A key for a user name never bound binds it
    // (Matches). A bound name with another hash or none: Mismatch. A never-bound name without a
    // key: Unbound.
    virtual std::optional<KeyCheck> checkUserKey(std::string_view user_name,
                                                 std::string_view key_hash, int64_t now_ms) = 0;
    // checkUserKey's answer from memory alone; nothing when only the database can give it (a
    // name not met since the start, whose first key is bound by a durable write).
    virtual std::optional<KeyCheck> knownUserKey(std::string_view user_name,
                                                 std::string_view key_hash) = 0;
    // Whether the canvas holds a stroke of this user name.
    virtual std::optional<bool> hasStrokeBy(std::string_view canvas_id,
                                            std::string_view user_name) = 0;

    // Moderation. The canvases holding a stroke or a picture whose IDs sort after `after`
    // (bytes compared; empty: from the first), in ID order, at most `limit`.
    virtual std::optional<std::vector<CanvasSummary>> listCanvases(std::string_view after,
                                                                   size_t limit) = 0;
    // The user names with strokes on the canvas sorting after `after`, in name order, at most
    // `limit`; empty for an unknown canvas.
    virtual std::optional<std::vector<CanvasUser>>
    canvasUsers(std::string_view canvas_id, std::string_view after, size_t limit) = 0;
    // Removes every stroke of `user_name` on the canvas, or with `user_name` nothing, every
    // stroke of the canvas and its pictures, so that it is an unknown canvas again (its last
    // stamp is kept: later strokes are stamped after every stroke clients were sent). The
    // number of strokes removed. As with deleteStrokes, a book of marks kept in the database
    // owes every user of the canvas a delete notice with the removal, and other instances hear
    // of it as of a delete.
    virtual std::optional<size_t> removeStrokes(std::string_view canvas_id,
                                                std::optional<std::string_view> user_name,
                                                int64_t now_ms) = 0;
    // Bans, kept for good: setBan with `banned` adds the ban (again: no change), without it
    // lifts it; false on a storage failure. bans() lists them, user names first, each kind by
    // value.
    virtual bool setBan(const Ban& ban, bool banned) = 0;
    virtual std::optional<std::vector<Ban>> bans() = 0;

    // Hosted images, by content hash. Storing the same hash again keeps the first copy.
    virtual bool putImage(std::string_view hash, std::string_view png, int64_t now_ms) = 0;
    virtual std::optional<std::string> image(std::string_view hash) = 0;

protected:
    // appendStroke for a store whose appends complete on another thread (appendStrokeAsync):
    // the calling thread waits for the stamp.
    std::optional<int64_t> appendAndWait(std::string_view canvas_id, const canvas::MWStroke& stroke,
                                         int64_t now_ms) {
        std::promise<std::optional<int64_t>> result;
        auto stamp = result.get_future();
        appendStrokeAsync(std::string(canvas_id), stroke, now_ms, 0,
                          [&result](Appended appended) { result.set_value(appended.stamp); });
        return stamp.get();
    }
};

} // namespace velmo::server
