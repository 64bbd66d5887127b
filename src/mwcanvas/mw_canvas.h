#pragma once

#include "canvas/canvas_engine.h"
#include "identity/kept_picture.h"
#include "identity/saved_state.h"
#include "identity/settings_journal.h"
#include "identity/user_keys.h"
#include "imagehost/gyazo_client.h"
#include "platform/canvas_outlets.h"
#include "platform/clock.h"
#include "platform/event_stream.h"
#include "platform/http_exchange.h"
#include "platform/journal_file.h"
#include "platform/kept_file.h"
#include "platform/random_source.h"
#include "platform/scheduler.h"
#include "platform/settings_store.h"
#include "sync/canvas_news_feed.h"
#include "sync/layers_fetch.h"
#include "sync/progress_board.h"
#include "sync/stroke_load.h"
#include "sync/stroke_progress_sender.h"
#include "sync/stroke_sync_agent.h"
#include "sync/sync_canvas.h"
#include "sync/watched_exchange.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velmo::mwcanvas {

// The edges the canvas reaches the world through, but for its outlets, which are the window's
// and given apart. All must outlive the canvas.
struct MWCanvasPlatform {
    const platform::Clock& clock;
    platform::HttpExchange& http;
    platform::Scheduler& scheduler;
    platform::SettingsStore& settings;
    // The source of the user IDs' secret keys.
    platform::RandomSource& random;
    // The live channel; without one the canvas learns of news by polling alone.
    platform::EventStream* events = nullptr;
    // The journal beside the settings; without one the state is saved only by saveDefaults.
    platform::JournalFile* journal = nullptr;
    // Where the picture of a long history's layers is kept between runs (written on the
    // settings' thread, so it must outlive their writes); without one every start paints.
    platform::KeptFile* pictures = nullptr;
};

// The canvas as the user knows it: the engine with its identity (nickname, canvas and user
// IDs), its conversation with the canvas server, its saved state and its published
// pictures. Everything runs on the UI thread.
//
// From construction on, a timer polls the server every five seconds, and every reply the
// agent handles is merged into the history when the UI thread is idle. With an event stream,
// the open canvas also holds a live stream on the server, whose events ask for a poll at once
// (CanvasNewsFeed); the timer stays for when the stream is not there. The stream names the
// user, so it also tells who else is there and brings the strokes they are drawing, which are
// painted over the layers until their finished strokes arrive; the user's own stroke goes out
// the same way while it is drawn (StrokeProgressSender).
//
// With a journal file, every change of the canvas ID, the history and the queue is also
// appended to it as it is made (SettingsJournal), and put on permanent storage within a
// second. So a crash loses no finished stroke, and saveDefaults need not write the history:
// the journal is folded into the settings when it grows long, by a job of the settings
// (off the UI thread when they are written in the background), from a copy of the journal.
class MWCanvas : public canvas::CanvasEngine, public sync::SyncCanvas {
public:
    static constexpr double PollingInterval = 5.0;
    // How often the journal goes to permanent storage, and its length in records past which
    // it is folded into the settings (so reading it at the next start stays quick).
    static constexpr double JournalSyncInterval = 1.0;
    static constexpr size_t JournalFoldRecords = 20000;
    // The most of a journal's records written again on the UI thread when it starts afresh.
    static constexpr size_t MostRewrittenBytes = size_t{1} << 20;
    // Time the merging and painting of arriving strokes takes at once at most, roughly, before
    // the window gets its turn; and how long a fetch of strokes may go without bytes.
    static constexpr double FeedSliceSeconds = 0.03;
    static constexpr double LoadTimeout = 30.0;
    // How long an open waits for the server's picture of the layers before it paints the
    // strokes itself: about what a server of two cores takes to make one of 100,000 strokes at
    // 600 x 800. The picture is still taken if it comes while they are being painted.
    static constexpr double PictureWait = 4.0;

    MWCanvas(platform::CanvasOutlets& outlets, const MWCanvasPlatform& platform,
             const std::string& server_base_url, const std::string& upload_url);
    ~MWCanvas() override;

    // The IDs, made from the nickname and the current GMT time when empty. A user ID is made
    // with its secret key, which every command for it carries.
    std::string userID() override;
    std::string canvasID() override;
    float pixelScale() const override { return geometry.pixel_scale; }
    std::optional<std::string> keyHeader(std::string_view user) override;

    // Merges what the agent received: the echo of an own stroke moves it to its server
    // place without a repaint, strokes of others repaint once, and a delete notice makes the
    // canvas fetch all its strokes again and repaint. A fetch that fails stays owed, and is
    // tried again with the next reply; the strokes that came are merged meanwhile.
    void get_response() override;
    // The timer's action: with nothing queued, an append without points asks the server for
    // news; otherwise a command left unsent by a failed request goes again.
    void polling();

    // Opens the canvas `id` (empty: a new canvas, named at once) and starts fetching its
    // strokes, which are painted as they arrive while the window goes on answering (drawing
    // included); a switch abandons the fetch of the canvas before. A failed fetch is owed like
    // a refresh.
    void setCanvasID(const std::string& id);
    // True while the open canvas's strokes are still coming in or waiting to be painted.
    bool isLoading() const;
    // The info line: the layer and the canvas, how far a load has come, and, while the server
    // cannot be reached or turns commands away, how many changes wait ("back online" for a few
    // seconds after).
    void setInfoLabel() override;
    static constexpr double BackOnlineSeconds = 4.0;
    // A different nickname renews the user ID; the canvas keeps its ID.
    void setNickname(const std::string& name);
    // The search field's text, kept for the saved state.
    void setSearchNickname(const std::string& text) { search_nickname = text; }

    // Saves the state: with a journal, what it does not hold (the nickname, the search text,
    // the user keys) and the journal to permanent storage; without one, all of it.
    void saveDefaults();
    // Writes the whole state into the settings: with a journal, by a fold of it.
    void saveAll();
    // Reads the saved state, then the journal's changes since, and folds them together.
    void loadDefaults();
    // Histories of at least this many strokes keep the picture of their layers at quit.
    static constexpr size_t KeptPictureStrokes = 2000;
    // At quit: hands the layers of a long history to the settings' thread, which writes them
    // to the picture file; nothing when the file holds them already.
    void keepPicture();
    // At a start, after loadDefaults: shows the kept picture if it holds exactly the strokes
    // of the history up to its key, painting only those after it. False when there is none
    // to use; the history is then still to be painted.
    bool showKeptPicture();

    // The share-link date code of the canvas (naming the canvas if it has no ID yet);
    // nothing when its ID carries no time stamp from 2010 on.
    std::optional<std::string> dateID();

    // Stretch the display to 64 x 96 or 320 x 480, upload it, and on success keep the URL
    // and register it with the server. A failed upload changes nothing.
    void generateThumbnail();
    void generateFullImage();
    std::string thumbnailUrl() const { return thumbnail_url; }
    std::string fullImageUrl() const { return fullimage_url; }

    std::string user_nickname = "public";
    std::string thumbnail_url;
    std::string fullimage_url;
    std::string search_nickname;
    // Every request of the canvas goes through it, so that any 2xx tells the agent the server
    // is there.
    sync::WatchedExchange watched_http;
    // Kept in the settings for the IDs that queued commands still speak for.
    identity::UserKeys user_keys;
    sync::StrokeSyncAgent sync_agent;
    imagehost::GyazoClient gyazo_client;
    // The points of the user's stroke while it is drawn, for the others on the canvas.
    sync::StrokeProgressSender progress_sender;
    // The others' strokes in progress (painted over the layers) and who is there.
    sync::ProgressBoard progress_board;
    // The live stream of the open canvas; none without an event stream.
    std::unique_ptr<sync::CanvasNewsFeed> news_feed;

private:
    // The history change and its command go to the journal in one write, so a crash keeps
    // both or neither.
    void strokeFinished(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) override;
    void strokeUndone(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) override;
    void historyEmptied() override;
    // The others' pens follow the new scale. A server picture still on its way is of the old
    // size and is refused when it comes, so the strokes are painted here instead.
    void canvasResized() override;
    void strokeBegun(int64_t press_time) override;
    void strokeDragged() override;
    void strokeCancelled() override;
    // Writes the keys still needed into the settings (not to disk).
    // Keeps the keys of the user IDs still needed: with `whole`, found in the whole history,
    // else those kept before and those of the queue.
    void saveUserKeys(bool whole);
    void journalStored(const canvas::StrokeKey& key, const canvas::MWStroke& stroke);
    void journalErased(const canvas::StrokeKey& key);
    // Stores returned strokes under their server keys.
    void mergeStrokes(const std::vector<canvas::MWStroke>& strokes);
    // Removes the unconfirmed copy of an echoed stroke: the provisional entry, or one saved
    // before the server confirmed it and restored under server time 0 (a user ID of an
    // earlier run), when author and client time agree.
    void dropUnconfirmedCopy(const canvas::MWStroke& echo);
    // Fetches the canvas again (after a delete notice, or a fetch that failed); the picture
    // shown changes only where the answer differs from it, once the answer is whole.
    void refreshCanvas();
    // Opens: the server's picture of the layers first, when it comes soon, then the strokes.
    void startOpen();
    void pictureCame(std::optional<png::LayersPicture> picture);
    void pictureWaitEnded();
    void startLoad(bool refresh);
    // A load's strokes are all merged.
    void loadMerged();
    void loadEnded(bool complete);
    // Merges and paints strokes waiting (replies first, then a load's) for about
    // FeedSliceSeconds, and asks to be called again while more wait.
    void feed();
    void scheduleFeed();
    // A refresh's answer is whole: the history becomes it.
    void finishRefresh();
    // Starts a fold of the journal into the settings, unless one is under way (or even then,
    // with `even_behind_another`: the settings' jobs run in turn, and the later fold holds
    // more); takes up one that has ended by starting the journal afresh past what it holds.
    void foldJournal(bool even_behind_another = false);
    void collectFold();
    // Moves the live stream to the canvas open now.
    void followOpenCanvas();
    // The agent's offline state or its waiting changes changed.
    void offlineChanged();
    void publishPicture(int width, int height, std::string& url,
                        void (sync::StrokeSyncAgent::*registration)(std::string_view));

    platform::SettingsStore& settings;
    platform::JournalFile* journal_file;
    platform::KeptFile* picture_file;
    // What the picture file holds, as far as this run knows.
    std::optional<identity::KeptPictureStamp> kept_stamp;
    std::unique_ptr<identity::SettingsJournal> journal;
    // The fold under way, filled in by the settings' job.
    struct Fold {
        std::atomic<bool> done = false;
        identity::FoldResult result;
    };
    std::shared_ptr<Fold> fold;
    // The user IDs whose keys the last save kept: a save without the whole history to look
    // through keeps them too.
    std::set<std::string> kept_key_users;
    std::unique_ptr<platform::RepeatingTimer> journal_timer;
    std::unique_ptr<platform::RepeatingTimer> polling_timer;

    platform::HttpExchange& http;
    platform::Scheduler& scheduler;
    std::string server_base_url;
    // The fetch of the open canvas's strokes under way, if any. An open merges them as they
    // come; a refresh collects them in `refetched` and replaces the history when whole.
    std::unique_ptr<sync::StrokeLoad> stroke_load;
    std::unique_ptr<sync::LayersFetch> layers_fetch;
    std::unique_ptr<platform::RepeatingTimer> picture_wait;
    // The wait for the picture is over and the strokes are painted here; the fetch goes on.
    bool picture_late = false;
    // The strokes the canvas holds, as the server's picture said; 0 when not known.
    size_t expected_strokes = 0;
    bool load_refreshes = false;
    canvas::StrokeMap refetched;
    std::set<canvas::StrokeKey> merged_while_refreshing;
    // Client times of own strokes undone before their echo came: the echo may still be on its
    // way (the reply to the append, ahead of the delete in the queue) and must not bring the
    // stroke back. For the open canvas.
    std::set<int64_t> undone_before_echo;
    // Strokes of replies not merged yet: a large reply is merged a slice at a time too.
    std::deque<canvas::MWStroke> incoming;
    // Strokes of replies ahead of an opening canvas's fetch, until it has come that far; and
    // the newest key it has brought.
    std::multimap<canvas::StrokeKey, canvas::MWStroke> held_back;
    canvas::StrokeKey load_frontier{INT64_MIN, INT64_MIN};
    // The sender of the feed's posts.
    const char feed_token = 0;
    // The info line says offline; until this clock time it says "back online" (0: not).
    bool shown_offline = false;
    double back_online_until = 0.0;
};

} // namespace velmo::mwcanvas
