// The canvas's strokes coming in: a fetch of the whole canvas read as it arrives, and the
// merging of what arrives (fetched or in replies) a slice at a time, so a canvas of any size
// never holds up the window for long.

#include "mwcanvas/mw_canvas.h"

#include "canvas/layer_names.h"
#include "wire/command_parser.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

namespace velmo::mwcanvas {
namespace {

// Strokes merged and painted at once, and at most in one turn of the event loop.
constexpr size_t FeedChunk = 128;
constexpr size_t MostStrokesPerTurn = 1024;

} // namespace

void MWCanvas::startOpen() {
    stroke_load.reset();
    picture_wait.reset();
    scheduler.cancelPosts(&picture_wait);
    picture_late = false;
    expected_strokes = 0;
    if (display_bitmap.empty()) {
        layers_fetch.reset();
        startLoad(false);
        return;
    }
    layers_fetch = std::make_unique<sync::LayersFetch>(
        http, server_base_url, canvasID(), geometry.canvas_width, geometry.canvas_height,
        LoadTimeout,
        [this](std::optional<png::LayersPicture> picture) { pictureCame(std::move(picture)); });
    // A picture not made yet costs the server as much as the client: past the wait, the
    // client paints too, and takes the picture if it comes first.
    // The timer is dropped from an idle turn, not from its own call.
    picture_wait = scheduler.scheduleRepeating(PictureWait, [this] {
        scheduler.postWhenIdle(&picture_wait, [this] { pictureWaitEnded(); });
    });
    setInfoLabel();
}

void MWCanvas::pictureWaitEnded() {
    picture_wait.reset();
    if (!layers_fetch || picture_late) {
        return;
    }
    picture_late = true;
    startLoad(false);
}

void MWCanvas::pictureCame(std::optional<png::LayersPicture> picture) {
    if (!layers_fetch) {
        return;
    }
    scheduler.cancelPosts(&picture_wait);
    layers_fetch.reset();
    picture_wait.reset();
    // Late, the picture is worth taking while strokes are still to be painted: those it holds
    // then cost nothing. Strokes are asked for after the picture when it is on time, so every
    // stroke stored up to its stamp is in the answer, unless deleted meanwhile, which
    // finishAdoption finds out; a late one is checked the same way.
    const bool painting = picture_late && stroke_load && !load_refreshes;
    if (picture && (!picture_late || painting) &&
        adoptLayers(std::move(picture->layers), picture->through,
                    static_cast<size_t>(picture->strokes))) {
        expected_strokes = static_cast<size_t>(picture->strokes);
    }
    if (!picture_late) {
        startLoad(false);
    } else {
        setInfoLabel();
    }
}

void MWCanvas::loadMerged() {
    // A picture still on its way can no longer save any painting.
    layers_fetch.reset();
    finishAdoption();
}

void MWCanvas::startLoad(bool refresh) {
    load_refreshes = refresh;
    load_frontier = {INT64_MIN, INT64_MIN};
    for (auto& [key, stroke] : held_back) {
        incoming.push_back(std::move(stroke));
    }
    held_back.clear();
    refetched.clear();
    merged_while_refreshing.clear();
    sync::StrokeLoad::Listener listener;
    listener.arrived = [this] {
        if (!load_refreshes) {
            scheduleFeed();
        }
    };
    listener.ended = [this](bool complete) { loadEnded(complete); };
    // Replacing the load abandons the one before: its answer belongs to what was open then.
    stroke_load =
        std::make_unique<sync::StrokeLoad>(http, server_base_url, canvasID(), keyHeader(""),
                                           geometry.pixel_scale, LoadTimeout, std::move(listener));
    stroke_load->start();
    setInfoLabel();
}

void MWCanvas::loadEnded(bool complete) {
    if (!complete) {
        // Owed: fetched again after the next reply shows the server is there. Until then what
        // came is shown.
        sync_agent.canvas_should_be_refreshed = true;
        if (load_refreshes) {
            stroke_load.reset();
            refetched.clear();
            merged_while_refreshing.clear();
            setInfoLabel();
            return;
        }
    }
    if (load_refreshes) {
        for (canvas::MWStroke& stroke : stroke_load->take(SIZE_MAX)) {
            const canvas::StrokeKey key{stroke.server_time, stroke.client_time};
            progress_board.strokeArrived(stroke);
            refetched[key] = std::move(stroke);
        }
        finishRefresh();
        stroke_load.reset();
        loadMerged();
        setInfoLabel();
        return;
    }
    scheduleFeed();
}

bool MWCanvas::isLoading() const {
    return (layers_fetch != nullptr && !picture_late) || !held_back.empty() ||
           (stroke_load && (!stroke_load->ended() || stroke_load->hasWaiting())) ||
           !incoming.empty();
}

void MWCanvas::scheduleFeed() {
    scheduler.postWhenIdle(&feed_token, [this] { feed(); });
}

void MWCanvas::feed() {
    std::lock_guard guard(sync_agent.lock());
    if (layers_fetch && !picture_late) {
        // The server's picture may hold all that replies bring while it is awaited: they wait
        // for it, and the strokes' fetch starts with them.
        while (!incoming.empty()) {
            canvas::MWStroke& stroke = incoming.front();
            const canvas::StrokeKey key{stroke.server_time, stroke.client_time};
            held_back.emplace(key, std::move(stroke));
            incoming.pop_front();
        }
        setInfoLabel();
        return;
    }
    // Replies go on while a canvas opens, and a new user is owed every stroke: polls bring the
    // canvas again from its first stroke, and may run ahead of the fetch. Painted first, those
    // strokes would have each chunk of the fetch land behind them, repainting them all again:
    // they wait until the fetch has come that far (they are mostly the same strokes).
    const bool load_ahead =
        !load_refreshes && stroke_load && (!stroke_load->ended() || stroke_load->hasWaiting());
    auto heldMayGo = [&] {
        return !held_back.empty() && (!load_ahead || !(load_frontier < held_back.begin()->first));
    };
    if (incoming.empty() && !heldMayGo() && !(load_ahead && stroke_load->hasWaiting())) {
        if (stroke_load && stroke_load->ended() && !stroke_load->hasWaiting()) {
            const bool complete = stroke_load->complete();
            stroke_load.reset();
            if (complete) {
                loadMerged();
            }
            if (!held_back.empty()) {
                scheduleFeed();
            }
            setInfoLabel();
        }
        return;
    }
    // Chunks merged and painted one after the other until the turn's time is up: what a chunk
    // costs varies by thousands (a stroke the server's picture holds costs nothing to paint).
    const double started = clock.now();
    size_t merged = 0;
    while (merged < MostStrokesPerTurn && clock.now() - started < FeedSliceSeconds) {
        std::vector<canvas::MWStroke> chunk;
        chunk.reserve(FeedChunk);
        while (chunk.size() < FeedChunk && heldMayGo()) {
            chunk.push_back(std::move(held_back.begin()->second));
            held_back.erase(held_back.begin());
        }
        while (chunk.size() < FeedChunk && !incoming.empty()) {
            canvas::MWStroke stroke = std::move(incoming.front());
            incoming.pop_front();
            const canvas::StrokeKey key{stroke.server_time, stroke.client_time};
            if (load_ahead && load_frontier < key) {
                held_back.emplace(key, std::move(stroke));
            } else {
                chunk.push_back(std::move(stroke));
            }
        }
        if (load_ahead && chunk.size() < FeedChunk) {
            for (canvas::MWStroke& stroke : stroke_load->take(FeedChunk - chunk.size())) {
                load_frontier = std::max(load_frontier, {stroke.server_time, stroke.client_time});
                chunk.push_back(std::move(stroke));
            }
        }
        if (chunk.empty()) {
            break;
        }
        merged += chunk.size();
        mergeStrokes(chunk);
        paintChanges();
    }
    if (isLoading()) {
        scheduleFeed();
    } else if (stroke_load && stroke_load->ended()) {
        const bool complete = stroke_load->complete();
        stroke_load.reset();
        if (complete) {
            loadMerged();
        }
    }
    setInfoLabel();
}

void MWCanvas::finishRefresh() {
    // Own strokes the server has not confirmed yet are not in its answer; they stay. So do the
    // strokes that replies brought while it was read, when stamped after all it holds; any
    // other stroke it lacks was deleted. (One deleted after coming in a reply meanwhile stays
    // only until its delete notice fetches the canvas again.)
    const int64_t fetched_up_to = refetched.empty() ? 0 : refetched.rbegin()->first.first;
    canvas::StrokeMap fetched;
    for (const auto& [key, stroke] : strokes_history) {
        const bool unconfirmed = key.first == InitServerTime || key.first == 0;
        if (unconfirmed || (key.first > fetched_up_to && merged_while_refreshing.contains(key))) {
            fetched.emplace(key, stroke);
        }
    }
    merged_while_refreshing.clear();
    for (auto& [key, stroke] : refetched) {
        // As a merge does: an echo takes the place of its unconfirmed copy.
        for (const int64_t unconfirmed : {InitServerTime, int64_t{0}}) {
            const auto copy = fetched.find({unconfirmed, stroke.client_time});
            if (copy != fetched.end() && copy->second.user_name == stroke.user_name) {
                fetched.erase(copy);
            }
        }
        fetched.insert_or_assign(key, std::move(stroke));
    }
    refetched.clear();
    std::optional<identity::SettingsJournal::Batch> batch;
    if (journal) {
        batch.emplace(*journal);
        journal->historyEmptied();
        for (const auto& [key, stroke] : fetched) {
            journal->strokeStored(key, stroke);
        }
    }
    // Only what differs from the picture shown is repainted: a delete notice usually means a
    // stroke or two less.
    strokes_history.replaceWith(std::move(fetched));
    paintChanges();
}

void MWCanvas::setInfoLabel() {
    std::string text = canvas::layerInfo(layer_index, canvas_id);
    if ((layers_fetch && !picture_late) || (stroke_load && !load_refreshes)) {
        // While the picture is awaited, the strokes replies brought count, held back.
        const size_t come =
            strokes_history.size() + (layers_fetch && !picture_late ? held_back.size() : 0);
        text += " (loading: " + std::to_string(come);
        if (expected_strokes > 0) {
            text += " of " + std::to_string(expected_strokes);
        }
        text += " strokes)";
    }
    if (sync_agent.offline()) {
        const size_t waiting = sync_agent.waitingChanges();
        text += " · offline";
        if (waiting > 0) {
            text += ": " + std::to_string(waiting) +
                    (waiting == 1 ? " stroke waiting" : " strokes waiting");
        }
    } else if (back_online_until > 0.0) {
        text += " · back online";
    }
    outlets.setInfoText(text);
}

} // namespace velmo::mwcanvas
