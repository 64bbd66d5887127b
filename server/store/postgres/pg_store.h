#pragma once

#include "store/bound_keys.h"
#include "store/canvas_news.h"
#include "store/postgres/pg_news.h"
#include "store/store.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace velmo::server {

class DeliveryBook;
class PgAppender;
class PgConnection;
class PgDeliveries;
class PgPool;
class RecentStrokes;

// The store in a PostgreSQL database, which any number of server instances share: strokes,
// each canvas's last stamp, delivery marks and owed notices, image URLs, hosted images and
// user keys all live in the database, so any instance may answer any request. Appends are
// committed in groups (PgAppender) and acknowledged once committed. Each instance keeps the
// recent strokes and last stamp of every canvas in memory (RecentStrokes) and hears of what
// the others store or remove through LISTEN/NOTIFY, which it also passes on to its own event
// streams; a poll with nothing new is answered from memory, but for an owed notice (PgDeliveries).
class PgStore final : public Store {
public:
    // Connects with a libpq URI, brings the schema up to date and starts listening. `news`
    // (may be null) is told of the strokes other instances store or remove, and must outlive
    // the store. Requests use at most `connections` connections at once, opened as needed; a
    // thread calling the store holds one at a time, so one per calling thread never waits.
    // Nothing, with a reason in `error`, when the database cannot be used.
    static std::unique_ptr<PgStore> open(const std::string& uri, CanvasNews* news,
                                         std::string* error, size_t connections = 16);
    ~PgStore() override;
    PgStore(const PgStore&) = delete;
    PgStore& operator=(const PgStore&) = delete;

    // The delivery marks of this database, for the request handler; lives as long as the store.
    DeliveryBook& deliveries();

    std::optional<int64_t> appendStroke(std::string_view canvas_id, const canvas::MWStroke& stroke,
                                        int64_t now_ms) override;
    void appendStrokeAsync(std::string canvas_id, canvas::MWStroke stroke, int64_t now_ms,
                           size_t reply_bytes, AppendDone done) override;
    std::optional<std::vector<StoredStroke>> strokesAfter(std::string_view canvas_id, int64_t after,
                                                          size_t limit) override;
    int64_t lastStamp(std::string_view canvas_id) override;
    std::optional<size_t> deleteStrokes(std::string_view canvas_id, std::string_view user_name,
                                        int64_t client_time, int64_t now_ms) override;
    bool setImageUrl(std::string_view canvas_id, ImageKind kind, std::string_view url,
                     int64_t now_ms) override;
    std::optional<std::vector<CanvasInfo>> findCanvases(std::string_view nickname,
                                                        size_t limit) override;
    std::optional<std::vector<CanvasInfo>> canvasesByDateId(std::string_view date_id,
                                                            size_t limit) override;
    CanvasLookup canvas(std::string_view canvas_id) override;
    // Marks live in the database already: saving writes them there (never moving one back),
    // and there is never anything to take.
    bool saveMarks(const std::vector<SavedMark>& marks) override;
    std::optional<std::vector<SavedMark>> takeSavedMarks() override;
    // A bound key is kept in memory once seen; a name not bound is asked of the database
    // every time, as another instance may bind it any moment.
    std::optional<KeyCheck> checkUserKey(std::string_view user_name, std::string_view key_hash,
                                         int64_t now_ms) override;
    std::optional<KeyCheck> knownUserKey(std::string_view user_name,
                                         std::string_view key_hash) override;
    std::optional<bool> hasStrokeBy(std::string_view canvas_id,
                                    std::string_view user_name) override;
    std::optional<CanvasSize> canvasSize(std::string_view canvas_id) override;
    std::optional<std::vector<CanvasSummary>> listCanvases(std::string_view after,
                                                           size_t limit) override;
    std::optional<std::vector<CanvasUser>>
    canvasUsers(std::string_view canvas_id, std::string_view after, size_t limit) override;
    std::optional<size_t> removeStrokes(std::string_view canvas_id,
                                        std::optional<std::string_view> user_name,
                                        int64_t now_ms) override;
    bool setBan(const Ban& ban, bool banned) override;
    std::optional<std::vector<Ban>> bans() override;
    bool putImage(std::string_view hash, std::string_view png, int64_t now_ms) override;
    std::optional<std::string> image(std::string_view hash) override;

    // Live news: what this instance sends to the others, and where what they send goes (on the
    // listener's thread; nothing before it is given). The sink must outlive the store, or be
    // taken away (an empty function) first.
    LiveRelay& liveRelay();
    void hearLive(std::function<void(const RemoteLive&)> sink);

    // While held, what other instances announce is kept unheard, as when their news is slow;
    // letting go hears all of it, in order. For tests.
    void holdNews(bool hold);
    // Drops what was held and starts over from the database, as when the listener's connection
    // broke and came back. Throws PgError. For tests.
    void loseHeldNews();

    // Use open().
    PgStore(const std::string& uri, CanvasNews* news, size_t connections);

private:
    // Takes in another instance's announcement. Under held_mutex_.
    void hear(const PgNews& heard);
    // After announcements may have been missed. Under held_mutex_.
    void resync(PgConnection& conn);
    // Reads every canvas's last stamp into memory; news arriving meanwhile is kept.
    void seedStamps();

    std::string instance_; // names this instance in its announcements
    CanvasNews* news_;
    std::unique_ptr<PgPool> pool_;
    std::unique_ptr<RecentStrokes> recent_;
    std::unique_ptr<PgDeliveries> deliveries_;
    std::mutex publish_mutex_; // see PgAppender
    std::unique_ptr<PgAppender> appender_;
    BoundKeys bound_keys_{size_t{1} << 20}; // past this many the memory starts over
    std::mutex held_mutex_;
    bool holding_news_ = false;
    std::vector<PgNews> held_news_;
    std::function<void(const RemoteLive&)> live_sink_; // under held_mutex_
    std::unique_ptr<PgLiveSender> live_sender_;
    std::unique_ptr<PgNewsListener> listener_; // stops first
};

} // namespace velmo::server
