#include "mwcanvas/mw_canvas.h"

#include "canvas/stroke_text.h"
#include "identity/canvas_identity.h"
#include "identity/canvas_picture.h"
#include "identity/saved_settings.h"
#include "png/layers_png.h"
#include "wire/command_parser.h"
#include "wire/date_id.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <mutex>
#include <set>

namespace velmo::mwcanvas {

MWCanvas::MWCanvas(platform::CanvasOutlets& outlets_, const MWCanvasPlatform& platform,
                   const std::string& server_base_url_, const std::string& upload_url)
    : canvas::CanvasEngine(outlets_, platform.clock), watched_http(platform.http),
      user_keys(platform.random),
      sync_agent(watched_http, platform.scheduler, platform.clock, server_base_url_),
      gyazo_client(watched_http, platform.clock, upload_url),
      progress_sender(watched_http, platform.scheduler, platform.clock, server_base_url_),
      progress_board(platform.scheduler, platform.clock, outlets_,
                     {[this](const canvas::ProgressKey& key, const canvas::MWStroke& stroke) {
                          showStrokeInProgress(key, stroke);
                      },
                      [this](const canvas::ProgressKey& key) { hideStrokeInProgress(key); }}),
      settings(platform.settings), journal_file(platform.journal), picture_file(platform.pictures),
      http(watched_http), scheduler(platform.scheduler), server_base_url(server_base_url_) {
    sync_agent.canvas = this;
    sync_agent.setResponseListener([this] { get_response(); });
    sync_agent.setPollSource([this] { polling(); });
    sync_agent.setRefusalListener([this](const std::string&, int status) {
        outlets.showMessage("The server refused a change to this canvas (HTTP " +
                            std::to_string(status) + "); it was not shared.");
    });
    setStrokeAgent(&sync_agent);
    sync_agent.setOfflineListener([this] { offlineChanged(); });
    watched_http.setSeenListener([this] { sync_agent.serverSeen(); });
    if (platform.events != nullptr) {
        news_feed = std::make_unique<sync::CanvasNewsFeed>(
            *platform.events, platform.scheduler, server_base_url_,
            [this](std::optional<int64_t> stamp) { sync_agent.newsArrived(stamp); });
        news_feed->setSeenListener([this] { sync_agent.serverSeen(); });
    }
    if (journal_file != nullptr) {
        journal = std::make_unique<identity::SettingsJournal>(*journal_file);
        sync_agent.setQueueListener(journal.get());
        journal_timer = platform.scheduler.scheduleRepeating(JournalSyncInterval, [this] {
            collectFold();
            journal->syncToDisk();
            if (journal->recordCount() >= JournalFoldRecords) {
                foldJournal();
            }
        });
    }
    polling_timer = platform.scheduler.scheduleRepeating(PollingInterval, [this] {
        if (back_online_until > 0.0 && clock.now() >= back_online_until) {
            back_online_until = 0.0;
            setInfoLabel();
        }
        polling();
        followOpenCanvas();
        if (news_feed) {
            news_feed->tick();
        }
    });
}

MWCanvas::~MWCanvas() {
    scheduler.cancelPosts(&feed_token);
    scheduler.cancelPosts(&picture_wait);
    sync_agent.setQueueListener(nullptr);
}

void MWCanvas::strokeBegun(int64_t press_time) {
    // Only a server whose stream is heard passes progress on; one without a stream is spared
    // a command it does not know, thirty times a second.
    if (!progress_sender.enabled || !news_feed || !news_feed->live() || x_array.empty() ||
        y_array.empty()) {
        return;
    }
    const std::string user = userID();
    progress_sender.strokeBegun(canvasID(), user, user_keys.header(user), press_time,
                                pen_properties, static_cast<int32_t>(layer_index), x_array.back(),
                                y_array.back());
}

void MWCanvas::strokeDragged() {
    if (!x_array.empty() && !y_array.empty()) {
        progress_sender.strokeExtended(x_array.back(), y_array.back());
    }
}

void MWCanvas::strokeCancelled() {
    progress_sender.strokeCancelled();
}

void MWCanvas::strokeFinished(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) {
    progress_sender.strokeFinished();
    std::optional<identity::SettingsJournal::Batch> batch;
    if (journal) {
        batch.emplace(*journal);
        journal->strokeStored(key, stroke);
    }
    CanvasEngine::strokeFinished(key, stroke);
}

void MWCanvas::strokeUndone(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) {
    if (key.first == InitServerTime || key.first == 0) {
        undone_before_echo.insert(stroke.client_time);
    }
    std::optional<identity::SettingsJournal::Batch> batch;
    if (journal) {
        batch.emplace(*journal);
        journal->strokeErased(key);
    }
    CanvasEngine::strokeUndone(key, stroke);
}

void MWCanvas::journalStored(const canvas::StrokeKey& key, const canvas::MWStroke& stroke) {
    if (journal) {
        journal->strokeStored(key, stroke);
    }
}

void MWCanvas::journalErased(const canvas::StrokeKey& key) {
    if (journal) {
        journal->strokeErased(key);
    }
}

void MWCanvas::historyEmptied() {
    if (journal) {
        journal->historyEmptied();
    }
}

void MWCanvas::offlineChanged() {
    const bool offline = sync_agent.offline();
    if (shown_offline && !offline) {
        back_online_until = clock.now() + BackOnlineSeconds;
        // The agent reached the server: a stream waiting to reopen need wait no more.
        if (news_feed) {
            news_feed->serverSeen();
        }
    }
    shown_offline = offline;
    setInfoLabel();
}

void MWCanvas::followOpenCanvas() {
    outlets.showCanvasID(canvas_id);
    if (news_feed) {
        // The stream names the user who draws here, so the others see who is there.
        const std::string user = canvas_id.empty() ? std::string() : userID();
        progress_board.setOwnUser(user);
        progress_board.setPixelScale(geometry.pixel_scale);
        news_feed->setLiveListener(&progress_board, geometry.pixel_scale);
        news_feed->follow(canvas_id, user, user.empty() ? std::nullopt : user_keys.header(user));
    }
}

void MWCanvas::canvasResized() {
    progress_board.setPixelScale(geometry.pixel_scale);
    if (news_feed) {
        news_feed->setLiveListener(&progress_board, geometry.pixel_scale);
    }
}

std::string MWCanvas::userID() {
    if (user_id.empty()) {
        user_id = identity::makeID(user_nickname, clock.now());
        user_keys.make(user_id);
        if (journal) {
            // The journal may soon hold commands under this ID; after a crash they would go
            // without their key and be refused, so the key goes to disk before any of them
            // (settings written in the background take it after what they were handed).
            saveUserKeys(false);
            settings.synchronize();
        }
    }
    return user_id;
}

std::optional<std::string> MWCanvas::keyHeader(std::string_view user) {
    if (!user.empty()) {
        return user_keys.header(user);
    }
    // A command without a stroke (a picture) speaks for a user who drew on the open canvas: the
    // current one, or, after a restart, an earlier ID of this client's with a stroke there. It
    // makes no user ID.
    std::optional<std::string> earlier;
    for (auto it = strokes_history.rbegin(); it != strokes_history.rend(); ++it) {
        if (!user_id.empty() && it->second.user_name == user_id) {
            return user_keys.header(user_id);
        }
        if (!earlier) {
            earlier = user_keys.header(it->second.user_name);
        }
    }
    return earlier ? earlier : user_keys.header(user_id);
}

std::string MWCanvas::canvasID() {
    if (canvas_id.empty()) {
        canvas_id = identity::makeID(user_nickname, clock.now());
        outlets.showCanvasID(canvas_id);
        if (journal) {
            journal->canvasIDSet(canvas_id);
        }
    }
    return canvas_id;
}

void MWCanvas::get_response() {
    std::lock_guard guard(sync_agent.lock());
    switch (sync_agent.response_status()) {
    case 2:
        refreshCanvas();
        [[fallthrough]];
    case 1:
        // The strokes that came are shown meanwhile, a slice at a time when they are many.
        for (canvas::MWStroke& stroke : sync_agent.returned_strokes) {
            incoming.push_back(std::move(stroke));
        }
        sync_agent.returned_strokes.clear();
        feed();
        break;
    default:
        break;
    }
}

void MWCanvas::mergeStrokes(const std::vector<canvas::MWStroke>& strokes) {
    std::optional<identity::SettingsJournal::Batch> batch;
    if (journal) {
        batch.emplace(*journal);
    }
    const std::string me = undone_before_echo.empty() ? std::string() : userID();
    for (const canvas::MWStroke& stroke : strokes) {
        if (!me.empty() && stroke.user_name == me &&
            undone_before_echo.contains(stroke.client_time)) {
            continue;
        }
        dropUnconfirmedCopy(stroke);
        progress_board.strokeArrived(stroke);
        const canvas::StrokeKey key{stroke.server_time, stroke.client_time};
        strokes_history.store(key, stroke);
        journalStored(key, stroke);
        if (stroke_load && load_refreshes) {
            merged_while_refreshing.insert(key);
        }
    }
}

void MWCanvas::dropUnconfirmedCopy(const canvas::MWStroke& echo) {
    for (const int64_t unconfirmed : {InitServerTime, int64_t{0}}) {
        const auto it = strokes_history.find({unconfirmed, echo.client_time});
        if (it != strokes_history.end() && it->second.user_name == echo.user_name) {
            const canvas::StrokeKey key = it->first;
            strokes_history.erase(it);
            journalErased(key);
        }
    }
}

void MWCanvas::refreshCanvas() {
    sync_agent.canvas_should_be_refreshed = false;
    startLoad(true);
}

void MWCanvas::polling() {
    std::lock_guard guard(sync_agent.lock());
    if (sync_agent.queued_commands.empty()) {
        canvas::MWStroke poll;
        poll.user_name = userID();
        poll.client_time = static_cast<int64_t>(clock.now() * 1000.0);
        poll.pen_properties = canvas::defaultPen(geometry.pixel_scale);
        sync_agent.append_stroke(poll);
    } else {
        sync_agent.resumeQueue();
    }
}

void MWCanvas::setCanvasID(const std::string& id) {
    canvas_id = id;
    user_id.clear();
    strokes_history.clear();
    undone_before_echo.clear();
    // What was undone belongs to the canvas that was open.
    forgetRedo();
    if (journal) {
        const identity::SettingsJournal::Batch batch(*journal);
        journal->canvasIDSet(canvas_id);
        journal->historyEmptied();
    }
    // What arrived before belongs to the canvas that was open.
    sync_agent.clearInbox();
    progress_board.clear();
    hideStrokesInProgress();
    progress_sender.canvasOpened();
    incoming.clear();
    held_back.clear();
    startOpen();
    followOpenCanvas();
    paintChanges();
    setInfoLabel();
}

void MWCanvas::setNickname(const std::string& name) {
    if (name != user_nickname) {
        user_nickname = name;
        user_id.clear();
    }
}

void MWCanvas::saveDefaults() {
    if (!journal || !journal->isRecording()) {
        saveAll();
        return;
    }
    // The journal holds the canvas, its history and the queue.
    settings.setString(identity::UserNicknameKey, user_nickname);
    settings.setString(identity::SearchNicknameKey, search_nickname);
    saveUserKeys(false);
    settings.synchronize();
    collectFold();
    journal->syncToDisk();
}

void MWCanvas::saveAll() {
    settings.setString(identity::UserNicknameKey, user_nickname);
    settings.setString(identity::SearchNicknameKey, search_nickname);
    const bool journaled = journal && journal->isRecording();
    if (!journaled) {
        identity::writeSavedState(settings, canvas_id, strokes_history.map(),
                                  sync_agent.queued_commands, std::nullopt);
    }
    saveUserKeys(true);
    settings.synchronize();
    if (journaled) {
        // A fold still on its way holds only the journal as it was when it started.
        foldJournal(true);
    }
}

void MWCanvas::foldJournal(bool even_behind_another) {
    collectFold();
    if (fold && !even_behind_another) {
        return; // one at a time: the journal starts afresh after each
    }
    journal->syncToDisk();
    fold = std::make_shared<Fold>();
    settings.perform([done = fold, contents = journal->contents(),
                      scale = geometry.pixel_scale](platform::SettingsStore& store) {
        done->result = identity::foldSavedState(store, identity::joined(contents), scale);
        done->done = true;
    });
    collectFold();
}

void MWCanvas::collectFold() {
    if (!fold || !fold->done) {
        return;
    }
    const identity::FoldResult result = fold->result;
    fold.reset();
    // The records after the fold are written again into the new journal, on this thread: while
    // many came meanwhile (a big canvas coming in), the journal goes on as it is, and the next
    // fold starts from the place this one reached.
    if (result.folded && result.place.generation == journal->generation() &&
        journal->size() - std::min(journal->size(), result.place.offset) <= MostRewrittenBytes) {
        journal->rotate(result.place.offset);
    }
}

void MWCanvas::saveUserKeys(bool whole) {
    // The user ID is made afresh each run: besides the current one, only the IDs of queued
    // commands, and those of own strokes on the open canvas (its pictures go under them), still
    // need their keys.
    std::set<std::string> needed{user_id};
    for (const std::string& command : sync_agent.queued_commands) {
        needed.insert(wire::commandUserName(command));
    }
    if (whole) {
        for (const auto& [key, stroke] : strokes_history) {
            needed.insert(stroke.user_name);
        }
    } else {
        needed.insert(kept_key_users.begin(), kept_key_users.end());
    }
    user_keys.save(settings, needed);
    kept_key_users = std::move(needed);
}

void MWCanvas::loadDefaults() {
    if (auto nickname = settings.stringValue(identity::UserNicknameKey)) {
        user_nickname = *nickname;
    }
    search_nickname = settings.stringValue(identity::SearchNicknameKey).value_or("");
    outlets.setSearchText(search_nickname);
    identity::JournaledState state = identity::readSavedState(settings, geometry.pixel_scale);
    if (settings.stringValue(identity::CanvasIDKey)) {
        canvas_id = state.canvas_id;
    }
    state.canvas_id = canvas_id;
    user_keys.load(settings);
    const identity::SavedJournalPlace place = identity::savedJournalPlace(settings);
    if (journal) {
        const std::string contents = journal_file->readAll();
        const identity::SavedJournalReplay read =
            identity::applySavedJournal(contents, place, state, geometry.pixel_scale);
        if (read.replay.matched) {
            journal->resume(read.generation,
                            std::string_view(contents).substr(0, read.replay.valid_bytes),
                            read.replay.valid_bytes < contents.size());
            // The part of it the settings hold already is dropped, as after a fold: a fold at
            // quit is never followed by the rotation, and the journal would grow run by run.
            const size_t folded = std::min(place.offset, read.replay.valid_bytes);
            if (journal->isRecording() && read.generation == place.generation &&
                folded > MostRewrittenBytes &&
                read.replay.valid_bytes - folded <= MostRewrittenBytes) {
                journal->rotate(folded);
            }
        } else {
            // A journal of a later full save than the settings' own, or none: started anew
            // after them.
            journal->restart(place.generation + 1);
        }
    }
    canvas_id = std::move(state.canvas_id);
    strokes_history = canvas::StrokeHistory(std::move(state.strokes_history));
    // Nothing is sent here; the next command or the next tick sends the head.
    sync_agent.restoreQueue({std::make_move_iterator(state.queued_commands.begin()),
                             std::make_move_iterator(state.queued_commands.end())});
    if (journal) {
        // The keys still needed, found once in the whole history.
        saveUserKeys(true);
        settings.synchronize();
        if (journal->recordCount() >= JournalFoldRecords) {
            foldJournal();
        }
    }
    // Only now: the stream makes this run's user ID, whose first save of the keys must keep
    // those of the restored queue and history.
    followOpenCanvas();
}

void MWCanvas::keepPicture() {
    if (picture_file == nullptr || strokes_history.size() < KeptPictureStrokes) {
        return;
    }
    auto kept = keptLayers();
    if (!kept) {
        return;
    }
    identity::KeptPictureStamp stamp = identity::keptPictureStamp(
        canvas_id, geometry.canvas_width, geometry.canvas_height, strokes_history, kept->through);
    if (stamp == kept_stamp) {
        return;
    }
    kept_stamp = stamp;
    // The copy of the layers is made here; encoding and writing them, on the settings' thread.
    auto layers = std::make_shared<const canvas::LayerSurfaces>(std::move(kept->layers));
    settings.perform(
        [file = picture_file, layers, stamp = std::move(stamp)](platform::SettingsStore&) {
            if (const auto bytes = identity::keptPictureFile(stamp, *layers)) {
                file->replace(*bytes);
            }
        });
}

bool MWCanvas::showKeptPicture() {
    if (picture_file == nullptr || strokes_history.size() < KeptPictureStrokes) {
        return false;
    }
    const std::string file = picture_file->readAll();
    const auto parts = identity::splitKeptPicture(file);
    if (!parts) {
        return false;
    }
    const identity::KeptPictureStamp stamp =
        identity::keptPictureStamp(canvas_id, geometry.canvas_width, geometry.canvas_height,
                                   strokes_history, parts->stamp.through);
    if (stamp != parts->stamp) {
        return false;
    }
    auto picture = png::decodeLayersPng(parts->png);
    if (!picture || !showKeptLayers(std::move(picture->layers), stamp.through)) {
        return false;
    }
    kept_stamp = stamp;
    return true;
}

std::optional<std::string> MWCanvas::dateID() {
    return wire::dateID(canvasID());
}

void MWCanvas::generateThumbnail() {
    publishPicture(identity::ThumbnailWidth, identity::ThumbnailHeight, thumbnail_url,
                   &sync::StrokeSyncAgent::update_thumbnail);
}

void MWCanvas::generateFullImage() {
    publishPicture(identity::FullImageWidth, identity::FullImageHeight, fullimage_url,
                   &sync::StrokeSyncAgent::update_fullimage);
}

void MWCanvas::publishPicture(int width, int height, std::string& url,
                              void (sync::StrokeSyncAgent::*registration)(std::string_view)) {
    // Others' strokes in progress are on the display only, and not the canvas's yet; layers
    // hidden in this window are still the canvas's.
    const canvas::Surface* shown = &display_bitmap;
    canvas::Surface without_progress;
    if (strokesInProgress() > 0 || !allLayersShown()) {
        without_progress = canvas::Surface(display_bitmap.width(), display_bitmap.height());
        canvas::composeAllLayers(layer_bitmap, without_progress, without_progress.bounds());
        shown = &without_progress;
    }
    const canvas::Surface picture = identity::stretchedPicture(*shown, width, height);
    const auto uploaded = gyazo_client.getURLOfImage(picture);
    if (!uploaded) {
        return;
    }
    url = *uploaded;
    (sync_agent.*registration)(url);
}

} // namespace velmo::mwcanvas
