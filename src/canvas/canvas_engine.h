#pragma once

#include "canvas/band_split.h"
#include "canvas/canvas_geometry.h"
#include "canvas/compositing.h"
#include "canvas/mw_stroke.h"
#include "canvas/pen_properties.h"
#include "canvas/pixel_rect.h"
#include "canvas/resize_repaint.h"
#include "canvas/save_points.h"
#include "canvas/stroke_agent.h"
#include "canvas/stroke_history.h"
#include "canvas/stroke_painter.h"
#include "canvas/surface.h"
#include "canvas/view_transform.h"
#include "platform/canvas_outlets.h"
#include "platform/clock.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmo::canvas {

// Own strokes not yet echoed sort after every server-stamped stroke, so they are painted on
// top until the server puts them in their place (ten thousand 365-day years in ms).
constexpr int64_t DefaultInitServerTime = 315360000000000;

// A stroke someone else is drawing now: its drawer's user ID and its press time (ms).
using ProgressKey = std::pair<std::string, int64_t>;

// The drawing canvas without its window: touches become strokes, strokes become pixels,
// and the history can always repaint the layers. Everything runs on the UI thread.
//
// Coordinates: touch operations take canvas-view points; drawLineFromX takes surface pixels;
// strokes hold canvas units (pixels / pixel_scale, truncated).
class CanvasEngine {
public:
    // The outlets and the clock must outlive the engine.
    CanvasEngine(platform::CanvasOutlets& outlets, const platform::Clock& clock);
    virtual ~CanvasEngine() = default;
    CanvasEngine(const CanvasEngine&) = delete;
    CanvasEngine& operator=(const CanvasEngine&) = delete;

    // Fixes the geometry from the window size and resets the pen to its default there. The
    // surfaces take the new size at the next clear_canvas.
    void setScreenSize(float width, float height);
    // Empties the history and allocates the six surfaces with their initial contents.
    void clear_canvas();
    // The window changed size: the grid follows it (the logical canvas stays, so
    // pixel_scale changes) and the layers are painted again from the history at the new size,
    // as a fresh canvas of that size would paint them. Kept across it, in canvas units: the
    // history, the pen (so a stroke keeps its width relative to the picture), the user's
    // stroke in progress (painted again from its points) and others' strokes in progress.
    // The view keeps its zoom; its shift scales with the picture, so the same part of the
    // canvas stays in the same part of the window. A picture adopted from elsewhere is
    // dropped for a repaint from the history. Before clear_canvas it only sets the geometry;
    // a size already in place changes nothing.
    void resizeCanvas(int width, int height);
    // The same resize, with the history painted at the new size a slice at a time by
    // stepResize while the canvas goes on at its old size; the new size takes over in the
    // step that paints the last confirmed stroke. A resize already under way is replaced; one
    // that needs no repaint happens at once.
    void beginResize(int width, int height);
    // Paints up to `max_strokes` more strokes of the resize under way, and takes the new size
    // when none is left. A change under what was painted begins the painting again, at most
    // MaxResizeRestarts times; then the rest is painted at once. Gives whether a resize is
    // still under way.
    bool stepResize(size_t max_strokes);
    bool resizing() const { return resize_job != nullptr; }
    static constexpr int MaxResizeRestarts = 3;
    // Where finished strokes and undos are sent; none until set (non-owning).
    void setStrokeAgent(StrokeAgent* agent) { stroke_agent = agent; }

    // Touch operations, dispatched by the draw mode read at each event.
    void touchPressedAtX(int x, int y);
    void touchDraggedAtX(int x, int y);
    void touchReleasedAtX(int x, int y);
    void cancelStroke();

    // One round-capped segment of the current pen into stroke_bitmap (surface pixels).
    void drawLineFromX(int x0, int y0, int x1, int y1);
    // Blends stroke_bitmap onto dst over src at alpha, clears it, and copies dst into src.
    void applyWithStrokeBitmap(Surface& src, Surface& dst, float alpha);
    // Replays a stored stroke onto a bitmap as one polyline at its density.
    void drawStroke(Surface& bitmap, const MWStroke& stroke);

    // Layer 0, 1 or 2; other values are ignored. Restarts the scratch and the snapshot.
    void setLayerIndex(unsigned index);
    // The draw-mode control changed: the zoom slider shows in pan mode only.
    void setDrawMode();

    // Repaints the layers from the whole history and the display from the layers. A stroke in
    // progress stays as drawn so far.
    void redrawStrokes();
    // Repaints what changed in the history since the layers were last painted, from the save
    // point before the first change and only inside the changed strokes' rectangles; the
    // pixels are those redrawStrokes would give. A change that alters no pixel (an echo that
    // passes no overlapping stroke) repaints nothing. A stroke in progress stays.
    void paintChanges();
    // Shows `layers`, a picture of every stroke up to the server time `through` (`strokes` of
    // them) made elsewhere, as if the history had been painted: strokes of the history up to
    // there, and those arriving later, are taken as painted; those after it are painted over
    // it. Layers of another size are refused (false). Until finishAdoption the history need
    // not hold all the strokes up to there yet; a stroke removed up to there repaints all.
    bool adoptLayers(LayerSurfaces layers, int64_t through, size_t strokes);
    // The strokes up to the adopted picture are all in: if the history holds the picture's
    // number of them it stands, else everything is repainted from the history.
    void finishAdoption();
    bool adopting() const { return adopted_through.has_value(); }

    // The layers of the history's strokes up to `through`, as the save point at the newest
    // confirmed stroke holds them: to be kept, and shown again by showKeptLayers at a later
    // start instead of painting a long history again. Nothing while no such point stands (an
    // empty history, a picture made elsewhere still standing for strokes not yet here).
    struct KeptLayers {
        LayerSurfaces layers;
        StrokeKey through;
    };
    std::optional<KeptLayers> keptLayers() const;
    // Shows `layers`, which hold exactly the history's strokes up to `through` as keptLayers
    // gave them, and paints only the strokes after it over them. Layers of another size are
    // refused (false, nothing changed).
    bool showKeptLayers(LayerSurfaces layers, const StrokeKey& through);

    // Strokes others are drawing now, painted over the layers as the history will paint them
    // once finished (the same painter, pen, layer and blend), on the display only: the layers,
    // the save points and the history never hold them, so the finished stroke, painted in its
    // place, changes no pixel. Showing a key again replaces its stroke and repaints only where
    // the points differ. Each shown layer takes a scratch copy of the canvas's size while any
    // stroke in progress is on it.
    void showStrokeInProgress(const ProgressKey& key, const MWStroke& stroke);
    void hideStrokeInProgress(const ProgressKey& key);
    void hideStrokesInProgress();
    size_t strokesInProgress() const { return remote_strokes.size(); }

    // The memory the save points hold (see SavePoints).
    size_t savePointBytes() const { return save_points.memoryBytes(); }
    // Removes the newest own stroke, sends its delete and repaints. Silent when none. The
    // stroke can then be redone.
    void undoOneStroke();
    // Draws the stroke undone last again as a new stroke of this user, at the clock's time,
    // with its pen, layer and points, and sends it as one just drawn. Silent when nothing is
    // left to redo or while a stroke is being drawn. A stroke drawn, the history cleared or
    // forgetRedo (another canvas opened) leave nothing to redo.
    void redoOneStroke();
    bool canRedo() const { return !redo_strokes.empty(); }
    void forgetRedo() { redo_strokes.clear(); }

    // Whether layer `index` (0..2) shows in this window. A hidden layer is composed as its
    // neutral contents on the display only: the layers, the history and the pictures made
    // from the layers keep it. Other indices are ignored (and read as shown).
    void setLayerShown(unsigned index, bool shown);
    bool layerShown(unsigned index) const;
    bool allLayersShown() const;

    // Eyedropper.
    void spuitAtX(int x, int y);
    void spuitEnded();

    // View transform.
    float transx(float x) const { return view.transx(x); }
    float transy(float y) const { return view.transy(y); }
    void updateZoomScale(float z, float px, float py) { view.updateZoomScale(z, px, py); }
    void setZoomScale(float z);
    void changedProgressZoomSlider(float value);
    void setProgressZoomSlider();
    void applyZoomScaleAndShiftXY();
    void changeTransform(const AffineTransform& t0, ViewPoint a1, ViewPoint a2, ViewPoint b1,
                         ViewPoint b2, bool fix);
    // Wheel and touchpad: zoom by `factor` keeping the picture under the view point `at` in
    // place, and move the view by (dx, dy) view points. The zoom slider follows.
    void zoomAtViewPoint(float factor, ViewPoint at);
    void panView(float dx, float dy);

    // The dirty rectangle of a drag from (x0, y0) to (x1, y1) with the current pen.
    PixelRect segmentRect(int x0, int y0, int x1, int y1) const;

    // Identity hooks, completed by the canvas that knows its IDs.
    virtual std::string userID() { return user_id; }
    virtual void setInfoLabel();
    // Merges server replies that are waiting; nothing here.
    virtual void get_response() {}

    CanvasGeometry geometry;
    int last_x = 0;
    int last_y = 0;
    bool on_stroke = false;
    PenProperties pen_properties;
    unsigned layer_index = 0;
    Surface stroke_bitmap, display_bitmap, prev_bitmap;
    LayerSurfaces layer_bitmap;
    std::vector<int> x_array, y_array;
    int64_t InitServerTime = DefaultInitServerTime;
    StrokeHistory strokes_history;
    std::string canvas_id;
    std::string user_id;
    ViewTransform view;

protected:
    // A finished stroke is in the history under `key`: send it (to the stroke agent, if any).
    // The undo of the stroke that was under `key`, already removed: send its delete. A canvas
    // that keeps its saved state current records the change together with the command.
    virtual void strokeFinished(const StrokeKey& key, const MWStroke& stroke);
    virtual void strokeUndone(const StrokeKey& key, const MWStroke& stroke);
    // The history was emptied by a reset.
    virtual void historyEmptied() {}
    // The canvas took a new size (pixel_scale changed with it).
    virtual void canvasResized() {}
    // The user's stroke in progress: pressed at `press_time` (ms) with its first point in
    // x_array and y_array, dragged one point further, or cancelled. Its end is strokeFinished.
    virtual void strokeBegun(int64_t press_time) { (void)press_time; }
    virtual void strokeDragged() {}
    virtual void strokeCancelled() {}

    platform::CanvasOutlets& outlets;
    const platform::Clock& clock;
    StrokeAgent* stroke_agent = nullptr;

private:
    void pressDrawing(int x, int y);
    void dragDrawing(int x, int y);
    void releaseDrawing();
    float strokeAlpha() const;
    PixelRect wholeCanvas() const { return display_bitmap.bounds(); }
    // The display from the layers inside `rect`, with the strokes in progress over them.
    void composeDisplay(PixelRect rect);
    void repaintInProgress(PixelRect rect);
    // Clears the scratch and re-takes the snapshot of the current layer.
    void restartStroke();
    // After the layers changed inside `rects`: the snapshot of the current layer follows, a
    // stroke in progress is laid over it again, the display is recomposed there.
    void layersRepainted(const LayerRects& rects);
    StrokeKey unconfirmedFrom() const;
    size_t confirmedStrokes() const;
    // Tells a resize under way of changes about to be taken from the history.
    void noteForResize(const HistoryChanges& changes);
    // resizeCanvas, taking the layers from `painted` when given.
    void resizeTo(int width, int height, ResizeRepaint* painted);
    // The layers and save points from a finished repaint at the new size.
    void takeOverRepaint(ResizeRepaint& painted);
    // Lends neutral surfaces to the compositor in the hidden layers' place, and back.
    void swapHiddenLayers();
    // Layers of this canvas's size.
    bool fitsCanvas(const LayerSurfaces& layers) const;
    // Shows `layers`, a picture of the strokes up to `through` (`strokes` of them), as the
    // layers and every save point, and paints the history's strokes after it over them.
    void startFrom(LayerSurfaces layers, const StrokeKey& through, size_t strokes);

    SavePoints save_points{paintThreads()};
    // While a picture made elsewhere stands for the strokes up to this key: how many it holds.
    std::optional<StrokeKey> adopted_through;
    size_t adopted_strokes = 0;
    StrokePainter painter;
    StrokeRasterizer rasterizer;
    // Where stroke_bitmap may hold paint; outside it the current layer equals prev_bitmap.
    PixelRect stroke_extent;
    struct InProgress {
        MWStroke stroke;
        PixelRect extent;
    };
    std::map<ProgressKey, InProgress> remote_strokes;
    // The layers with the strokes in progress painted over them, valid only inside the
    // rectangle being composed; empty for a layer without any.
    LayerSurfaces progress_layers;
    // Own strokes undone, the last undone last; each is drawn again as a new stroke.
    std::vector<MWStroke> redo_strokes;
    std::array<bool, 3> layer_shown{true, true, true};
    std::unique_ptr<ResizeRepaint> resize_job;
    int resize_restarts = 0;
    // The neutral contents of the hidden layers, of the canvas's size; empty for shown ones.
    LayerSurfaces layer_stand_ins;
};

} // namespace velmo::canvas
