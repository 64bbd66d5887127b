#pragma once

#include "canvas/canvas_engine.h"
#include "canvas/mw_stroke.h"
#include "platform/canvas_outlets.h"
#include "platform/clock.h"
#include "platform/scheduler.h"
#include "sync/canvas_news_feed.h"
#include "wire/stroke_progress.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmo::sync {

// What the open canvas's stream tells of the others: the strokes they are drawing now, and
// who is there. A stroke in progress grows as its progress comes: a batch starting at or
// before the points held replaces them from there, one starting beyond (a batch lost on the
// way) is joined on. It goes when its drawer cancels it, when its finished stroke arrives
// (strokeArrived), when its drawer leaves, or after Silence without a word.
//
// The strokes go to the view (the engine paints them over its layers); who is present, and a
// marker at the newest point of each stroke in progress, go to the outlets, each only when it
// changed. Everything runs on the UI thread.
class ProgressBoard : public LiveListener {
public:
    static constexpr double Silence = 3.0;
    static constexpr double SweepInterval = 0.25;

    struct View {
        std::function<void(const canvas::ProgressKey& key, const canvas::MWStroke& stroke)> show;
        std::function<void(const canvas::ProgressKey& key)> hide;
    };

    // The scheduler, clock and outlets must outlive the board.
    ProgressBoard(platform::Scheduler& scheduler, const platform::Clock& clock,
                  platform::CanvasOutlets& outlets, View view);

    // This client's user ID, never shown among the others; and the scale of canvas units to
    // the pixels the markers are placed in.
    void setOwnUser(const std::string& user_id);
    void setPixelScale(float scale) { pixel_scale = scale; }

    void progressArrived(const wire::StrokeProgress& progress) override;
    void userJoined(const std::string& user_id) override;
    void userLeft(const std::string& user_id) override;
    void presenceLost() override;
    // A finished stroke came in a reply: it ends its drawer's strokes in progress that began
    // at or before it was released.
    void strokeArrived(const canvas::MWStroke& stroke);
    // Another canvas is open: nothing of the one before stays.
    void clear();

    // Told of every progress the stream brings, before the board takes it (a watcher that
    // measures how far behind they come); none: nobody.
    void setProgressObserver(std::function<void(const wire::StrokeProgress&)> observer) {
        progress_observer = std::move(observer);
    }

    size_t strokesInProgress() const { return strokes.size(); }
    const std::vector<std::string>& presentUsers() const { return present; }

private:
    struct Entry {
        canvas::MWStroke stroke;
        double heard = 0;
    };

    void remove(std::map<canvas::ProgressKey, Entry>::iterator it);
    void sweep();
    void keepSweeping();
    // Outside the sweeper's own action only.
    void stopSweepingIfIdle();
    void showPresence();
    void showMarkers();

    platform::Scheduler& scheduler;
    const platform::Clock& clock;
    platform::CanvasOutlets& outlets;
    View view;
    std::function<void(const wire::StrokeProgress&)> progress_observer;
    std::string own_user;
    float pixel_scale = 1.0f;
    std::map<canvas::ProgressKey, Entry> strokes;
    // Per drawer, the release time of the newest finished stroke seen: a late batch of a
    // stroke already finished must not bring it back.
    std::map<std::string, int64_t> finished_through;
    // In the order they came.
    std::vector<std::string> present;
    std::vector<std::string> shown_users;
    std::vector<platform::CanvasOutlets::PenMarker> shown_markers;
    std::unique_ptr<platform::RepeatingTimer> sweeper;
};

} // namespace velmo::sync
