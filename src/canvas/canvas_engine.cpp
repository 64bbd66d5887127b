#include "canvas/canvas_engine.h"

#include "canvas/eyedropper.h"
#include "canvas/layer_names.h"
#include "canvas/rasterizer.h"
#include "canvas/stroke_replay.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace velmo::canvas {
namespace {

enum DrawMode { Drawing = 0, Eyedropper = 1, Pan = 2 };

int drawModeOf(const platform::CanvasOutlets& outlets) {
    const int mode = outlets.drawMode();
    return mode == Eyedropper || mode == Pan ? mode : Drawing;
}

void clearRect(Surface& surface, PixelRect rect) {
    const PixelRect r = rect.clippedTo(surface.width(), surface.height());
    for (int y = r.y; y < r.bottom(); ++y) {
        std::memset(surface.row(y) + r.x, 0, static_cast<size_t>(r.width) * sizeof(Pixel));
    }
}

void copyRect(const Surface& from, Surface& to, PixelRect rect) {
    const PixelRect r = rect.clippedTo(to.width(), to.height());
    for (int y = r.y; y < r.bottom(); ++y) {
        std::memcpy(to.row(y) + r.x, from.row(y) + r.x,
                    static_cast<size_t>(r.width) * sizeof(Pixel));
    }
}

} // namespace

CanvasEngine::CanvasEngine(platform::CanvasOutlets& outlets_, const platform::Clock& clock_)
    : pen_properties(defaultPen(geometry.pixel_scale)), outlets(outlets_), clock(clock_) {}

void CanvasEngine::setScreenSize(float width, float height) {
    geometry.setScreenSize(width, height);
    pen_properties = defaultPen(geometry.pixel_scale);
}

void CanvasEngine::clear_canvas() {
    resize_job.reset();
    strokes_history.clear();
    strokes_history.takeChanges();
    redo_strokes.clear();
    save_points.reset();
    adopted_through.reset();
    historyEmptied();
    layer_index = 0;
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    layer_bitmap[0] = Surface(w, h, OpaqueWhite);
    layer_bitmap[1] = Surface(w, h, OpaqueWhite);
    layer_bitmap[2] = Surface(w, h, OpaqueBlack);
    stroke_bitmap = Surface(w, h, Transparent);
    display_bitmap = Surface(w, h, OpaqueWhite);
    prev_bitmap = Surface(w, h, OpaqueWhite);
    stroke_extent = {};
    remote_strokes.clear();
    progress_layers = {};
    outlets.invalidateDisplay();
}

void CanvasEngine::resizeCanvas(int width, int height) {
    resize_job.reset();
    resizeTo(width, height, nullptr);
}

void CanvasEngine::beginResize(int width, int height) {
    resize_job.reset();
    resize_restarts = 0;
    if (display_bitmap.empty() || width <= 0 || height <= 0 ||
        (width == geometry.canvas_width && height == geometry.canvas_height)) {
        resizeCanvas(width, height);
        return;
    }
    resize_job = std::make_unique<ResizeRepaint>(width, height, confirmedStrokes());
}

bool CanvasEngine::stepResize(size_t max_strokes) {
    if (!resize_job) {
        return false;
    }
    const int width = resize_job->width();
    const int height = resize_job->height();
    resize_job->noteChanges(strokes_history.pendingChanges());
    if (resize_job->spoiled()) {
        // A stroke came or went under what was painted. A canvas that keeps changing there is
        // painted at once rather than chased for ever.
        if (++resize_restarts > MaxResizeRestarts) {
            resizeCanvas(width, height);
            return false;
        }
        resize_job = std::make_unique<ResizeRepaint>(width, height, confirmedStrokes());
    }
    // A picture made elsewhere may still lack strokes it stands for: wait for the rest.
    if (adopted_through ||
        !resize_job->step(strokes_history, unconfirmedFrom(), max_strokes, paintThreads())) {
        return true;
    }
    const std::unique_ptr<ResizeRepaint> job = std::move(resize_job);
    resizeTo(width, height, job.get());
    return false;
}

void CanvasEngine::noteForResize(const HistoryChanges& changes) {
    if (resize_job) {
        resize_job->noteChanges(changes);
    }
}

size_t CanvasEngine::confirmedStrokes() const {
    return static_cast<size_t>(
        std::distance(strokes_history.begin(), strokes_history.lower_bound(unconfirmedFrom())));
}

void CanvasEngine::resizeTo(int width, int height, ResizeRepaint* painted) {
    if (width <= 0 || height <= 0 ||
        (width == geometry.canvas_width && height == geometry.canvas_height)) {
        return;
    }
    const float old_scale = geometry.pixel_scale;
    geometry.setScreenSize(static_cast<float>(width), static_cast<float>(height));
    if (display_bitmap.empty()) {
        return;
    }
    const float ratio = geometry.pixel_scale / old_scale;
    view.shift_x *= ratio;
    view.shift_y *= ratio;
    // The pan pivot is a surface pixel; it follows the picture.
    last_x = truncateToInt(static_cast<float>(last_x) * ratio);
    last_y = truncateToInt(static_cast<float>(last_y) * ratio);
    for (Surface* surface : {&stroke_bitmap, &display_bitmap, &prev_bitmap}) {
        *surface = Surface(width, height, Transparent);
    }
    progress_layers = {};
    stroke_extent = {};
    for (auto& [key, entry] : remote_strokes) {
        entry.extent = StrokePainter::extentOf(entry.stroke, geometry.pixel_scale, width, height);
    }
    // The save points hold pictures of the old size; a rebuild places them anew.
    save_points.reset();
    adopted_through.reset();
    strokes_history.takeChanges();
    if (painted != nullptr && painted->through()) {
        takeOverRepaint(*painted);
    } else {
        for (Surface& layer : layer_bitmap) {
            layer = Surface(width, height, Transparent);
        }
        save_points.rebuild(strokes_history, layer_bitmap, geometry.pixel_scale, unconfirmedFrom());
    }
    prev_bitmap.copyFrom(layer_bitmap[layer_index]);
    if (on_stroke && !x_array.empty()) {
        // The stroke's points are canvas units: drawn again at the new scale, it goes on
        // from its last point as if it had been begun at this size.
        const auto pixel = [&](int units) { return truncateToInt(geometry.toPixels(units)); };
        last_x = pixel(x_array.front());
        last_y = pixel(y_array.front());
        for (size_t i = 1; i < x_array.size() && i < y_array.size(); ++i) {
            const int x = pixel(x_array[i]);
            const int y = pixel(y_array[i]);
            drawLineFromX(last_x, last_y, x, y);
            last_x = x;
            last_y = y;
        }
    }
    LayerRects all;
    all.fill(wholeCanvas());
    layersRepainted(all);
    applyZoomScaleAndShiftXY();
    outlets.invalidateDisplay();
    canvasResized();
}

void CanvasEngine::takeOverRepaint(ResizeRepaint& painted) {
    const StrokeKey through = *painted.through();
    const size_t count = painted.painted();
    layer_bitmap = painted.takeLayers();
    std::vector<ResizeRepaint::Snapshot> snapshots = painted.takeSnapshots();
    // The oldest snapshot stands furthest back, where the last follower belongs.
    for (size_t i = 0; i < snapshots.size(); ++i) {
        ResizeRepaint::Snapshot& snapshot = snapshots[i];
        save_points.place(snapshots.size() - i, std::move(snapshot.layers), snapshot.through,
                          count - snapshot.painted);
    }
    save_points.adopt(layer_bitmap, through, count, true);
    save_points.endAdoption();
    // Only the own strokes not yet echoed lie past the painted ones.
    strokes_history.noteArrivalsFrom(strokes_history.upper_bound(through));
    save_points.update(strokes_history, strokes_history.takeChanges(), layer_bitmap,
                       geometry.pixel_scale, unconfirmedFrom());
}

void CanvasEngine::touchPressedAtX(int x, int y) {
    if (display_bitmap.empty()) {
        return;
    }
    switch (drawModeOf(outlets)) {
    case Eyedropper:
        spuitAtX(x, y);
        break;
    case Pan:
        last_x = x;
        last_y = y;
        break;
    default:
        pressDrawing(x, y);
        break;
    }
}

void CanvasEngine::touchDraggedAtX(int x, int y) {
    if (display_bitmap.empty()) {
        return;
    }
    switch (drawModeOf(outlets)) {
    case Eyedropper:
        spuitAtX(x, y);
        break;
    case Pan:
        view.shift_x += static_cast<float>(x - last_x);
        view.shift_y += static_cast<float>(y - last_y);
        last_x = x;
        last_y = y;
        applyZoomScaleAndShiftXY();
        break;
    default:
        dragDrawing(x, y);
        break;
    }
}

void CanvasEngine::touchReleasedAtX(int /*x*/, int /*y*/) {
    if (display_bitmap.empty()) {
        return;
    }
    setInfoLabel();
    switch (drawModeOf(outlets)) {
    case Eyedropper:
        spuitEnded();
        break;
    case Pan:
        // The last finger position becomes a surface pixel: the pivot of the next slider zoom.
        last_x = truncateToInt(transx(static_cast<float>(last_x)));
        last_y = truncateToInt(transy(static_cast<float>(last_y)));
        break;
    default:
        releaseDrawing();
        break;
    }
}

void CanvasEngine::pressDrawing(int x, int y) {
    const int cx = truncateToInt(transx(static_cast<float>(x)));
    const int cy = truncateToInt(transy(static_cast<float>(y)));
    on_stroke = true;
    last_x = cx;
    last_y = cy;
    x_array.clear();
    y_array.clear();
    x_array.push_back(geometry.toUnits(static_cast<float>(cx)));
    y_array.push_back(geometry.toUnits(static_cast<float>(cy)));
    strokeBegun(static_cast<int64_t>(clock.now() * 1000.0));
}

float CanvasEngine::strokeAlpha() const {
    return static_cast<float>(pen_properties.density / 255.0);
}

PixelRect CanvasEngine::segmentRect(int x0, int y0, int x1, int y1) const {
    const int64_t half = truncateToInt(
        static_cast<float>(pen_properties.width) * geometry.pixel_scale * 0.5f + 1.0f);
    // In 64 bits: touches far outside a zoomed-out view must not overflow the sums.
    const int64_t left = int64_t{std::min(x0, x1)} - half;
    const int64_t top = int64_t{std::min(y0, y1)} - half;
    const int64_t width = int64_t{std::max(x0, x1)} - left + half + 1;
    const int64_t height = int64_t{std::max(y0, y1)} - top + half + 1;
    auto clamp = [](int64_t v) {
        return static_cast<int>(std::clamp<int64_t>(v, -(int64_t{1} << 30), int64_t{1} << 30));
    };
    return {clamp(left), clamp(top), clamp(width), clamp(height)};
}

void CanvasEngine::dragDrawing(int x, int y) {
    const int cx = truncateToInt(transx(static_cast<float>(x)));
    const int cy = truncateToInt(transy(static_cast<float>(y)));
    drawLineFromX(last_x, last_y, cx, cy);
    const PixelRect rect = segmentRect(last_x, last_y, cx, cy);
    composeBitmap(prev_bitmap, stroke_bitmap, strokeAlpha(), layer_bitmap[layer_index], rect);
    composeDisplay(rect);
    outlets.invalidateDisplayRect(rect.x, rect.y, rect.width, rect.height);
    last_x = cx;
    last_y = cy;
    x_array.push_back(geometry.toUnits(static_cast<float>(cx)));
    y_array.push_back(geometry.toUnits(static_cast<float>(cy)));
    strokeDragged();
}

void CanvasEngine::releaseDrawing() {
    on_stroke = false;
    redo_strokes.clear();
    MWStroke stroke;
    stroke.user_name = userID();
    stroke.client_time = static_cast<int64_t>(clock.now() * 1000.0);
    stroke.pen_properties = pen_properties;
    stroke.points_x = x_array;
    stroke.points_y = y_array;
    stroke.layer = static_cast<int32_t>(layer_index);
    // The scratch was drawn a segment at a time; the layer takes the stroke as the history
    // replays it, so that it is always what a repaint from the start would give. Until the
    // repaint below (in the same turn, before the display is recomposed) the layer is its
    // snapshot again.
    const PixelRect drawn = stroke_extent;
    copyRect(prev_bitmap, layer_bitmap[layer_index], drawn);
    clearRect(stroke_bitmap, drawn);
    stroke_extent = {};
    strokes_history.store({InitServerTime, stroke.client_time}, stroke);
    get_response();
    strokeFinished({InitServerTime, stroke.client_time}, stroke);
    paintChanges();
    if (!drawn.empty()) {
        // Where the replay paints less than the scratch did, the display still showed it.
        composeDisplay(drawn);
        outlets.invalidateDisplayRect(drawn.x, drawn.y, drawn.width, drawn.height);
    }
}

void CanvasEngine::strokeFinished(const StrokeKey& /*key*/, const MWStroke& stroke) {
    if (stroke_agent != nullptr) {
        stroke_agent->append_stroke(stroke);
    }
}

void CanvasEngine::strokeUndone(const StrokeKey& /*key*/, const MWStroke& stroke) {
    if (stroke_agent != nullptr) {
        stroke_agent->delete_stroke(stroke);
    }
}

void CanvasEngine::drawLineFromX(int x0, int y0, int x1, int y1) {
    const auto color = static_cast<uint32_t>(pen_properties.color);
    const Argb source = premultipliedSource(color, static_cast<float>((color >> 24) / 255.0));
    // Painted only inside the drag's dirty rectangle, which is all that the layer and the
    // display take from the scratch; a wide pen's faintest fringe pixel just outside it would
    // otherwise reach the layer at release without ever having been shown.
    const PixelRect clip = segmentRect(x0, y0, x1, y1);
    const PixelRect touched = rasterizer.drawSegment(
        stroke_bitmap, static_cast<float>(x0), static_cast<float>(y0), static_cast<float>(x1),
        static_cast<float>(y1), static_cast<float>(pen_properties.width) * geometry.pixel_scale,
        source, clip);
    stroke_extent = stroke_extent.united(touched);
}

void CanvasEngine::applyWithStrokeBitmap(Surface& src, Surface& dst, float alpha) {
    // Outside the stroke's extent the scratch is empty and dst already equals src, so the
    // whole-canvas blend, clear and copy reduce to that rectangle.
    const PixelRect rect = stroke_extent;
    composeBitmap(src, stroke_bitmap, alpha, dst, rect);
    clearRect(stroke_bitmap, rect);
    if (&src != &dst) {
        copyRect(dst, src, rect);
    }
    stroke_extent = {};
}

void CanvasEngine::drawStroke(Surface& bitmap, const MWStroke& stroke) {
    painter.drawStroke(bitmap, stroke, geometry.pixel_scale);
}

void CanvasEngine::cancelStroke() {
    if (display_bitmap.empty()) {
        return;
    }
    // A cancelled stroke is over: nothing repaints it, and redo may go on.
    on_stroke = false;
    // Outside the stroke's extent the scratch is empty and the layer is its snapshot.
    const PixelRect drawn = stroke_extent;
    clearRect(stroke_bitmap, drawn);
    stroke_extent = {};
    copyRect(prev_bitmap, layer_bitmap[layer_index], drawn);
    composeDisplay(drawn);
    outlets.invalidateDisplay();
    strokeCancelled();
}

void CanvasEngine::restartStroke() {
    stroke_bitmap.fill(Transparent);
    stroke_extent = {};
    prev_bitmap.copyFrom(layer_bitmap[layer_index]);
}

void CanvasEngine::setLayerIndex(unsigned index) {
    if (index > 2) {
        return;
    }
    layer_index = index;
    if (!display_bitmap.empty()) {
        restartStroke();
    }
    setInfoLabel();
}

void CanvasEngine::setDrawMode() {
    if (outlets.drawMode() == Pan) {
        setProgressZoomSlider();
        outlets.setZoomSliderVisible(true);
    } else {
        outlets.setZoomSliderVisible(false);
    }
}

StrokeKey CanvasEngine::unconfirmedFrom() const {
    return {InitServerTime, std::numeric_limits<int64_t>::min()};
}

void CanvasEngine::redrawStrokes() {
    if (display_bitmap.empty()) {
        return;
    }
    noteForResize(strokes_history.takeChanges());
    adopted_through.reset();
    save_points.rebuild(strokes_history, layer_bitmap, geometry.pixel_scale, unconfirmedFrom());
    LayerRects all;
    all.fill(wholeCanvas());
    layersRepainted(all);
    outlets.invalidateDisplay();
}

bool CanvasEngine::fitsCanvas(const LayerSurfaces& layers) const {
    return !display_bitmap.empty() && layers[0].width() == geometry.canvas_width &&
           layers[0].height() == geometry.canvas_height;
}

void CanvasEngine::startFrom(LayerSurfaces layers, const StrokeKey& through, size_t strokes) {
    layer_bitmap = std::move(layers);
    save_points.adopt(layer_bitmap, through, strokes);
    if (!adopted_through) {
        save_points.endAdoption();
    }
    // What the history holds past the picture is painted over it.
    noteForResize(strokes_history.takeChanges());
    strokes_history.noteArrivalsFrom(strokes_history.upper_bound(through));
    paintChanges();
    LayerRects all;
    all.fill(wholeCanvas());
    layersRepainted(all);
    outlets.invalidateDisplay();
}

bool CanvasEngine::adoptLayers(LayerSurfaces layers, int64_t through, size_t strokes) {
    if (!fitsCanvas(layers)) {
        return false;
    }
    // What changed before the picture's end is in it or is found out by finishAdoption.
    const StrokeKey last{through, std::numeric_limits<int64_t>::max()};
    adopted_through = last;
    adopted_strokes = strokes;
    startFrom(std::move(layers), last, strokes);
    return true;
}

std::optional<CanvasEngine::KeptLayers> CanvasEngine::keptLayers() const {
    const auto place = save_points.placeOf(0);
    if (display_bitmap.empty() || adopted_through || !place || !*place) {
        return std::nullopt;
    }
    return KeptLayers{save_points.layersOf(0), **place};
}

bool CanvasEngine::showKeptLayers(LayerSurfaces layers, const StrokeKey& through) {
    if (!fitsCanvas(layers)) {
        return false;
    }
    adopted_through.reset();
    const auto held = static_cast<size_t>(
        std::distance(strokes_history.begin(), strokes_history.upper_bound(through)));
    startFrom(std::move(layers), through, held);
    return true;
}

void CanvasEngine::finishAdoption() {
    if (!adopted_through) {
        return;
    }
    size_t held = 0;
    for (auto it = strokes_history.begin();
         it != strokes_history.end() && !(*adopted_through < it->first); ++it) {
        held += it->first.first > 0 ? 1 : 0;
    }
    const bool stands = held == adopted_strokes;
    adopted_through.reset();
    save_points.endAdoption();
    if (!stands) {
        redrawStrokes();
    }
}

void CanvasEngine::paintChanges() {
    if (display_bitmap.empty() || !strokes_history.hasChanges()) {
        return;
    }
    HistoryChanges changes = strokes_history.takeChanges();
    noteForResize(changes);
    if (adopted_through) {
        const StrokeKey last = *adopted_through;
        const bool lost =
            changes.whole || changes.cleared ||
            std::any_of(changes.changes.begin(), changes.changes.end(),
                        [&](const StrokeChange& c) { return !c.arrived && !(last < c.key); });
        if (lost) {
            // A stroke the picture shows is gone: only a repaint of all can tell the rest.
            adopted_through.reset();
            save_points.endAdoption();
            redrawStrokes();
            return;
        }
        std::erase_if(changes.changes, [&](const StrokeChange& c) { return !(last < c.key); });
    }
    const LayerRects rects = save_points.update(strokes_history, changes, layer_bitmap,
                                                geometry.pixel_scale, unconfirmedFrom());
    layersRepainted(rects);
    const PixelRect changed = unionOf(rects);
    if (changed == wholeCanvas()) {
        outlets.invalidateDisplay();
    } else if (!changed.empty()) {
        outlets.invalidateDisplayRect(changed.x, changed.y, changed.width, changed.height);
    }
}

void CanvasEngine::layersRepainted(const LayerRects& rects) {
    const PixelRect current = rects[layer_index];
    copyRect(layer_bitmap[layer_index], prev_bitmap, current);
    const PixelRect in_progress = current.intersected(stroke_extent);
    if (!in_progress.empty()) {
        composeBitmap(prev_bitmap, stroke_bitmap, strokeAlpha(), layer_bitmap[layer_index],
                      in_progress);
    }
    composeDisplay(unionOf(rects));
}

void CanvasEngine::composeDisplay(PixelRect rect) {
    swapHiddenLayers();
    composeAllLayers(layer_bitmap, display_bitmap, rect);
    repaintInProgress(rect);
    swapHiddenLayers();
}

void CanvasEngine::swapHiddenLayers() {
    for (size_t layer = 0; layer < layer_shown.size(); ++layer) {
        if (layer_shown[layer]) {
            continue;
        }
        Surface& stand_in = layer_stand_ins[layer];
        const Surface& real = layer_bitmap[layer];
        if (stand_in.width() != real.width() || stand_in.height() != real.height()) {
            // The neutral contents compose as if the layer were not there.
            stand_in = Surface(real.width(), real.height(), layer == 2 ? OpaqueBlack : OpaqueWhite);
        }
        std::swap(layer_bitmap[layer], stand_in);
    }
}

void CanvasEngine::setLayerShown(unsigned index, bool shown) {
    if (index >= layer_shown.size() || layer_shown[index] == shown) {
        return;
    }
    layer_shown[index] = shown;
    layer_stand_ins[index] = Surface();
    if (!display_bitmap.empty()) {
        composeDisplay(wholeCanvas());
        outlets.invalidateDisplay();
    }
}

bool CanvasEngine::layerShown(unsigned index) const {
    return index >= layer_shown.size() || layer_shown[index];
}

bool CanvasEngine::allLayersShown() const {
    return layer_shown[0] && layer_shown[1] && layer_shown[2];
}

void CanvasEngine::repaintInProgress(PixelRect rect) {
    PixelRect over;
    for (const auto& [key, entry] : remote_strokes) {
        if (layerShown(static_cast<unsigned>(entry.stroke.layer))) {
            over = over.united(entry.extent.intersected(rect));
        }
    }
    over = over.clippedTo(display_bitmap.width(), display_bitmap.height());
    if (over.empty()) {
        return;
    }
    std::array<bool, 3> used{};
    for (const auto& [key, entry] : remote_strokes) {
        if (!entry.extent.intersected(over).empty() &&
            layerShown(static_cast<unsigned>(entry.stroke.layer))) {
            used[static_cast<size_t>(entry.stroke.layer)] = true;
        }
    }
    for (size_t layer = 0; layer < used.size(); ++layer) {
        if (!used[layer]) {
            continue;
        }
        Surface& copy = progress_layers[layer];
        if (copy.width() != display_bitmap.width() || copy.height() != display_bitmap.height()) {
            copy = Surface(display_bitmap.width(), display_bitmap.height());
        }
        copyRect(layer_bitmap[layer], copy, over);
    }
    for (const auto& [key, entry] : remote_strokes) {
        if (!entry.extent.intersected(over).empty() &&
            used[static_cast<size_t>(entry.stroke.layer)]) {
            painter.drawStroke(progress_layers[static_cast<size_t>(entry.stroke.layer)],
                               entry.stroke, geometry.pixel_scale, over);
        }
    }
    // The layers are lent to the compositor in the copies' place for the one call, so the
    // display is composed exactly as from the layers, with the same kernel.
    for (size_t layer = 0; layer < used.size(); ++layer) {
        if (used[layer]) {
            std::swap(layer_bitmap[layer], progress_layers[layer]);
        }
    }
    composeAllLayers(layer_bitmap, display_bitmap, over);
    for (size_t layer = 0; layer < used.size(); ++layer) {
        if (used[layer]) {
            std::swap(layer_bitmap[layer], progress_layers[layer]);
        }
    }
}

namespace {

// The pixels that differ between painting `from` and `to`: where the points after their
// common start reach (with the point before, whose join changes), or all of both when the
// pen or the layer differs.
PixelRect changedExtent(const MWStroke& from, const MWStroke& to, float scale, int width,
                        int height) {
    auto whole = [&](const MWStroke& stroke) {
        return StrokePainter::extentOf(stroke, scale, width, height);
    };
    if (from.pen_properties != to.pen_properties || from.layer != to.layer) {
        return whole(from).united(whole(to));
    }
    const size_t from_count = std::min(from.points_x.size(), from.points_y.size());
    const size_t to_count = std::min(to.points_x.size(), to.points_y.size());
    size_t common = 0;
    while (common < from_count && common < to_count &&
           from.points_x[common] == to.points_x[common] &&
           from.points_y[common] == to.points_y[common]) {
        ++common;
    }
    // The points past the common start, from the one before it.
    auto tail = [&](const MWStroke& stroke, size_t count) {
        if (common == count || count < 2) {
            return PixelRect{};
        }
        MWStroke part;
        part.pen_properties = stroke.pen_properties;
        const auto first = static_cast<std::ptrdiff_t>(common == 0 ? 0 : common - 1);
        const auto end = static_cast<std::ptrdiff_t>(count);
        part.points_x.assign(stroke.points_x.begin() + first, stroke.points_x.begin() + end);
        part.points_y.assign(stroke.points_y.begin() + first, stroke.points_y.begin() + end);
        return whole(part);
    };
    return tail(from, from_count).united(tail(to, to_count));
}

} // namespace

void CanvasEngine::showStrokeInProgress(const ProgressKey& key, const MWStroke& stroke) {
    if (display_bitmap.empty()) {
        return;
    }
    const int width = display_bitmap.width();
    const int height = display_bitmap.height();
    const bool paints = stroke.layer >= 0 && stroke.layer <= 2;
    PixelRect changed;
    auto it = remote_strokes.find(key);
    if (it == remote_strokes.end()) {
        if (!paints) {
            return;
        }
        it = remote_strokes.emplace(key, InProgress{}).first;
        changed = StrokePainter::extentOf(stroke, geometry.pixel_scale, width, height);
    } else if (!paints) {
        hideStrokeInProgress(key);
        return;
    } else {
        changed = changedExtent(it->second.stroke, stroke, geometry.pixel_scale, width, height);
    }
    it->second.stroke = stroke;
    it->second.extent = StrokePainter::extentOf(stroke, geometry.pixel_scale, width, height);
    if (!changed.empty()) {
        composeDisplay(changed);
        outlets.invalidateDisplayRect(changed.x, changed.y, changed.width, changed.height);
    }
}

void CanvasEngine::hideStrokeInProgress(const ProgressKey& key) {
    const auto it = remote_strokes.find(key);
    if (it == remote_strokes.end()) {
        return;
    }
    const PixelRect extent = it->second.extent;
    remote_strokes.erase(it);
    if (remote_strokes.empty()) {
        progress_layers = {};
    }
    if (!extent.empty() && !display_bitmap.empty()) {
        composeDisplay(extent);
        outlets.invalidateDisplayRect(extent.x, extent.y, extent.width, extent.height);
    }
}

void CanvasEngine::hideStrokesInProgress() {
    while (!remote_strokes.empty()) {
        hideStrokeInProgress(remote_strokes.begin()->first);
    }
}

void CanvasEngine::undoOneStroke() {
    const std::string me = userID();
    for (auto it = strokes_history.rbegin(); it != strokes_history.rend(); ++it) {
        if (it->second.user_name != me) {
            continue;
        }
        const StrokeKey key = it->first;
        MWStroke stroke = strokes_history.take(std::next(it).base());
        strokeUndone(key, stroke);
        paintChanges();
        redo_strokes.push_back(std::move(stroke));
        return;
    }
}

void CanvasEngine::redoOneStroke() {
    if (redo_strokes.empty() || on_stroke || display_bitmap.empty()) {
        return;
    }
    MWStroke stroke = std::move(redo_strokes.back());
    redo_strokes.pop_back();
    stroke.user_name = userID();
    stroke.server_time = 0;
    stroke.client_time = static_cast<int64_t>(clock.now() * 1000.0);
    // A new stroke of its own: never under the key of one still in the history.
    while (strokes_history.contains({InitServerTime, stroke.client_time})) {
        ++stroke.client_time;
    }
    const StrokeKey key{InitServerTime, stroke.client_time};
    strokes_history.store(key, stroke);
    get_response();
    strokeFinished(key, stroke);
    paintChanges();
}

void CanvasEngine::spuitAtX(int x, int y) {
    const auto color =
        sampleColor(display_bitmap, transx(static_cast<float>(x)), transy(static_cast<float>(y)));
    if (!color) {
        return;
    }
    auto component = [&](int shift) {
        return static_cast<float>(((*color >> shift) & 0xFF) / 255.0);
    };
    const float swatch_y = std::trunc(static_cast<float>(y) - outlets.swatchHeight());
    outlets.showSwatch(component(16), component(8), component(0), static_cast<float>(x), swatch_y);
    pen_properties.color = static_cast<int32_t>(*color);
}

void CanvasEngine::spuitEnded() {
    outlets.hideSwatch();
    outlets.selectDrawMode(Drawing);
}

void CanvasEngine::setZoomScale(float z) {
    view.updateZoomScale(z, static_cast<float>(last_x), static_cast<float>(last_y));
    applyZoomScaleAndShiftXY();
}

void CanvasEngine::changedProgressZoomSlider(float value) {
    setZoomScale(zoomForSliderValue(value));
}

void CanvasEngine::setProgressZoomSlider() {
    outlets.setZoomSliderValue(sliderValueForZoom(view.zoom_scale));
}

void CanvasEngine::applyZoomScaleAndShiftXY() {
    outlets.setDisplayTransform(
        view.displayTransform(geometry.canvas_width, geometry.canvas_height));
}

void CanvasEngine::changeTransform(const AffineTransform& t0, ViewPoint a1, ViewPoint a2,
                                   ViewPoint b1, ViewPoint b2, bool fix) {
    const GestureStep step = classifyGesture(a1, a2, b1, b2);
    if (!fix) {
        if (step.kind != GestureStep::Kind::Ignored) {
            outlets.setDisplayTransform(liveGestureTransform(
                t0, step, a1, view.zoom_scale, geometry.canvas_width, geometry.canvas_height));
        }
        return;
    }
    switch (step.kind) {
    case GestureStep::Kind::Pan:
        view.shift_x += step.dx;
        view.shift_y += step.dy;
        applyZoomScaleAndShiftXY();
        break;
    case GestureStep::Kind::Zoom: {
        const float zoom = step.ratio * view.zoom_scale;
        if (!std::isfinite(zoom) || zoom <= 0.0f) {
            // The step is dropped; the display goes back to the stored view.
            applyZoomScaleAndShiftXY();
            break;
        }
        last_x = truncateToInt(transx(a1.x));
        last_y = truncateToInt(transy(a1.y));
        setZoomScale(zoom);
        applyZoomScaleAndShiftXY();
        break;
    }
    case GestureStep::Kind::Ignored:
        applyZoomScaleAndShiftXY();
        break;
    }
}

void CanvasEngine::zoomAtViewPoint(float factor, ViewPoint at) {
    view.zoomAbout(factor, at.x, at.y);
    applyZoomScaleAndShiftXY();
    setProgressZoomSlider();
}

void CanvasEngine::panView(float dx, float dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) {
        return;
    }
    view.shift_x += dx;
    view.shift_y += dy;
    applyZoomScaleAndShiftXY();
}

void CanvasEngine::setInfoLabel() {
    outlets.setInfoText(layerInfo(layer_index, canvas_id));
}

} // namespace velmo::canvas
