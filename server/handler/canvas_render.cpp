#include "handler/canvas_render.h"

#include "canvas/band_split.h"
#include "canvas/stroke_painter.h"
#include "canvas/stroke_replay.h"
#include "canvas/stroke_text.h"
#include "handler/render_folder.h"
#include "handler/sha256.h"
#include "png/layers_png.h"
#include "store/stroke_pages.h"

#include <array>
#include <optional>
#include <vector>

namespace velmo::server {
namespace {

// Up to this many strokes a page paint on the request's thread: waking the other cores costs
// more than a few strokes do.
constexpr size_t StrokesForAllCores = 32;
// An entry's layers are kept on disk after a paint from the first stroke and after this many
// strokes painted on top since: a start then paints at most about this many before its first
// render (at 320 x 480 some 50 ms on one core).
constexpr int64_t StrokesBetweenKeeps = 1000;

enum class Update { Done, Mismatch, Failed };

// How an entry is brought up to date: a request paints on every core and whatever it takes;
// the keeper paints in the background on one thread, gives up when told to stop, and leaves a
// painted entry that only a paint from the first stroke would mend to the next request, which
// would otherwise wait for the slower paint.
struct PaintRules {
    const RenderFolder* folder = nullptr;
    unsigned threads = 1;
    bool repaint_painted = true;
    const std::atomic<bool>* stop = nullptr;
    RenderCache::SavePointRules save_points;

    bool stopped() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }
};

std::string hashOf(std::string_view text) {
    return sha256Hex(text).substr(0, 32);
}

// Paints a page of stored strokes onto the entry's layers and notes where they changed them.
void paintPage(CanvasRender& render, const std::vector<StoredStroke>& page, bool whole,
               unsigned threads) {
    const canvas::CanvasGeometry& geometry = render.geometry;
    std::vector<canvas::MWStroke> strokes;
    strokes.reserve(page.size());
    for (const StoredStroke& stored : page) {
        strokes.push_back(canvas::stroke_from_text(stored.text, geometry.pixel_scale));
    }
    render.strokes += static_cast<int64_t>(page.size());
    render.through = page.back().server_time;
    render.newest_hash = hashOf(page.back().text);
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    if (threads > 1 && strokes.size() > StrokesForAllCores) {
        canvas::replayInBands(render.layers, geometry, strokes, render.layers[0].bounds(), threads);
    } else {
        canvas::StrokePainter painter;
        canvas::replayStrokes(painter, render.layers, geometry, strokes);
    }
    if (whole) {
        return; // allChanged follows
    }
    render.unsaved_strokes += static_cast<int64_t>(page.size());
    std::array<canvas::PixelRect, 3> changed{};
    for (const canvas::MWStroke& stroke : strokes) {
        if (stroke.layer >= 0 && stroke.layer <= 2) {
            auto& rect = changed[static_cast<size_t>(stroke.layer)];
            rect = rect.united(canvas::StrokePainter::extentOf(stroke, geometry.pixel_scale, w, h));
        }
    }
    for (size_t layer = 0; layer < changed.size(); ++layer) {
        render.layerChanged(layer, changed[layer]);
    }
}

// Paints the strokes stamped after the newest painted. Done when they account for every
// stroke the canvas holds beyond those painted (`strokes_now` as counted before the reads, or
// again after them, as appends may land between), Mismatch when something else changed.
Update paintAppended(Store& store, std::string_view canvas_id, CanvasRender& render,
                     int64_t last_stamp, int64_t strokes_now, size_t page_bytes,
                     const PaintRules& rules) {
    StrokePages pages(store, std::string(canvas_id), page_bytes, render.through);
    while (!pages.done()) {
        const auto page = pages.next();
        if (!page || rules.stopped()) {
            render.painted = false; // painted in part: the layers say nothing now
            return Update::Failed;
        }
        if (!page->empty()) {
            paintPage(render, *page, false, rules.threads);
        }
    }
    render.last_stamp = last_stamp;
    if (render.strokes == strokes_now) {
        return Update::Done;
    }
    const auto again = store.canvasSize(canvas_id);
    if (!again) {
        render.painted = false;
        return Update::Failed;
    }
    return render.strokes == again->strokes ? Update::Done : Update::Mismatch;
}

bool repaint(Store& store, std::string_view canvas_id, CanvasRender& render, int64_t last_stamp,
             size_t page_bytes, const PaintRules& rules) {
    const int w = render.geometry.canvas_width;
    const int h = render.geometry.canvas_height;
    if (render.layers[0].empty()) {
        render.layers = {canvas::Surface(w, h), canvas::Surface(w, h), canvas::Surface(w, h)};
    }
    canvas::resetLayers(render.layers);
    render.painted = false;
    render.strokes = 0;
    render.through = 0;
    render.newest_hash.clear();
    // A page at a time: the layers' memory is bounded, the canvas's not.
    StrokePages pages(store, std::string(canvas_id), page_bytes);
    while (!pages.done()) {
        const auto page = pages.next();
        if (!page || rules.stopped()) {
            return false;
        }
        if (!page->empty()) {
            paintPage(render, *page, true, rules.threads);
        }
    }
    render.painted = true;
    render.last_stamp = last_stamp;
    render.unsaved_repaint = true;
    render.allChanged();
    return true;
}

// Takes the layers kept on disk when the store still holds their newest stroke. Their stamp of
// the store is not known, so the next check reads what came after them.
void loadKept(Store& store, std::string_view canvas_id, CanvasRender& render,
              const RenderFolder& folder) {
    auto kept = folder.load(canvas_id, render.geometry.canvas_width, render.geometry.canvas_height);
    if (!kept || kept->picture.strokes == 0) {
        return;
    }
    const auto newest = store.strokesAfter(canvas_id, kept->picture.through - 1, 1);
    if (!newest || newest->empty() || newest->front().server_time != kept->picture.through ||
        hashOf(newest->front().text) != kept->newest_hash) {
        return;
    }
    render.layers = std::move(kept->picture.layers);
    render.through = kept->picture.through;
    render.strokes = kept->picture.strokes;
    render.newest_hash = std::move(kept->newest_hash);
    render.painted = true;
    render.last_stamp = 0;
    render.unsaved_strokes = 0;
    render.unsaved_repaint = false;
    render.allChanged();
}

// After a mismatch: the layers put back to the newest save point that still holds the canvas
// up to its stroke (the same count check as for appends), and the strokes after it painted. A
// point that does not hold it is dropped, and so is every point when none does.
Update paintFromSavePoint(Store& store, std::string_view canvas_id, CanvasRender& render,
                          int64_t last_stamp, int64_t strokes_now, size_t page_bytes,
                          const PaintRules& rules) {
    for (std::optional<CanvasRender::SavePoint>* point : {&render.recent, &render.older}) {
        if (!*point) {
            continue;
        }
        render.layers = (*point)->layers;
        render.through = (*point)->through;
        render.strokes = (*point)->strokes;
        render.newest_hash = (*point)->newest_hash;
        render.painted = true;
        render.allChanged();
        const Update update =
            paintAppended(store, canvas_id, render, last_stamp, strokes_now, page_bytes, rules);
        if (update != Update::Mismatch) {
            return update;
        }
        point->reset();
    }
    return Update::Mismatch;
}

// On a big canvas, a save point every spacing strokes, the one before kept as `older`.
void takeSavePoint(CanvasRender& render, const RenderCache::SavePointRules& rules) {
    if (render.strokes < rules.from ||
        (render.recent && render.strokes - render.recent->strokes < rules.spacing)) {
        return;
    }
    if (render.recent) {
        render.older = std::move(render.recent);
    }
    render.recent =
        CanvasRender::SavePoint{render.layers, render.through, render.strokes, render.newest_hash};
}

enum class Freshness { Ready, Stale, NoSuchCanvas, Failed };

Freshness bringUpToDate(Store& store, std::string_view canvas_id, CanvasRender& render,
                        size_t page_bytes, const PaintRules& rules,
                        RenderResult::Painted& painted) {
    const bool had_pixels = render.painted;
    if (!render.painted && rules.folder != nullptr) {
        loadKept(store, canvas_id, render, *rules.folder);
    }
    // Read before the size and the strokes, so that a stroke landing meanwhile leaves the entry
    // looking older than it is, never newer.
    const int64_t last_stamp = store.lastStamp(canvas_id);
    const auto size = store.canvasSize(canvas_id);
    if (!size) {
        return Freshness::Failed;
    }
    if (size->strokes == 0) {
        // Without strokes only a picture makes it a canvas; rare enough to ask every time.
        const CanvasLookup lookup = store.canvas(canvas_id);
        if (lookup.failed()) {
            return Freshness::Failed;
        }
        if (!lookup.found()) {
            return Freshness::NoSuchCanvas;
        }
    }
    if (render.painted && render.last_stamp == last_stamp && render.strokes == size->strokes) {
        return Freshness::Ready;
    }
    render.picture_etag.clear();
    render.layers_etag.clear();
    if (render.painted) {
        // On top of the layers as they are, else of a save point.
        for (const bool from_point : {false, true}) {
            painted =
                from_point ? RenderResult::Painted::FromSavePoint : RenderResult::Painted::Appended;
            const Update update = from_point
                                      ? paintFromSavePoint(store, canvas_id, render, last_stamp,
                                                           size->strokes, page_bytes, rules)
                                      : paintAppended(store, canvas_id, render, last_stamp,
                                                      size->strokes, page_bytes, rules);
            if (update == Update::Failed) {
                return Freshness::Failed;
            }
            if (update == Update::Done) {
                takeSavePoint(render, rules.save_points);
                return Freshness::Ready;
            }
        }
        if (had_pixels && !rules.repaint_painted) {
            return Freshness::Stale;
        }
    }
    painted = RenderResult::Painted::Everything;
    render.recent.reset();
    render.older.reset();
    if (!repaint(store, canvas_id, render, last_stamp, page_bytes, rules)) {
        return Freshness::Failed;
    }
    takeSavePoint(render, rules.save_points);
    return Freshness::Ready;
}

std::string etagOf(const std::string& file) {
    return "\"" + sha256Hex(file).substr(0, 32) + "\"";
}

// The picture composed again where the layers changed, and its file encoded again there.
bool encodePicture(CanvasRender& render) {
    if (render.picture.empty()) {
        render.picture =
            canvas::Surface(render.geometry.canvas_width, render.geometry.canvas_height);
        render.picture_stale = render.picture.bounds();
    }
    if (!render.picture_stale.empty()) {
        canvas::composeAllLayers(render.layers, render.picture, render.picture_stale);
        render.picture_stale = {};
    }
    if (!render.picture_file) {
        render.picture_file.emplace(render.picture.width(), render.picture.height());
    }
    return render.picture_file->encode(
        [&picture = render.picture](int y, uint8_t* rgb) { png::surfaceRow(picture, y, rgb); });
}

bool encodeLayers(CanvasRender& render) {
    if (!render.layers_file) {
        render.layers_file.emplace(render.geometry.canvas_width, 3 * render.geometry.canvas_height);
    }
    return render.layers_file->encode(
        [&layers = render.layers](int y, uint8_t* rgb) { png::layersFileRow(layers, y, rgb); });
}

// Keeps the entry's layers on disk once enough was painted since they last were. A write that
// fails waits as long as a success would before it is tried again.
void keepOnDisk(CanvasRender& render, std::string_view canvas_id, const RenderFolder* folder) {
    if (folder == nullptr || !render.painted || render.strokes == 0 ||
        !(render.unsaved_repaint || render.unsaved_strokes >= StrokesBetweenKeeps)) {
        return;
    }
    if (!encodeLayers(render)) {
        return;
    }
    folder->save(canvas_id, render.geometry.canvas_width, render.geometry.canvas_height,
                 render.newest_hash,
                 render.layers_file->file(png::LayersKeyword,
                                          png::layersText(render.through, render.strokes)));
    render.unsaved_strokes = 0;
    render.unsaved_repaint = false;
}

// The entry of this canvas and size, emptied when it was made for another geometry.
CanvasRender& entryOf(RenderCache::Lease& lease, int width, int height) {
    canvas::CanvasGeometry geometry;
    geometry.setScreenSize(static_cast<float>(width), static_cast<float>(height));
    CanvasRender& render = lease.render();
    if (render.geometry != geometry) {
        render = CanvasRender{};
        render.geometry = geometry;
    }
    return render;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

bool noneMatchNames(std::string_view if_none_match, std::string_view etag) {
    while (!if_none_match.empty()) {
        const size_t comma = if_none_match.find(',');
        std::string_view tag = trimmed(if_none_match.substr(0, comma));
        if_none_match =
            comma == std::string_view::npos ? std::string_view() : if_none_match.substr(comma + 1);
        if (tag == "*") {
            return true;
        }
        if (tag.starts_with("W/")) {
            tag.remove_prefix(2);
        }
        if (tag == etag) {
            return true;
        }
    }
    return false;
}

RenderResult renderCanvas(Store& store, RenderCache& cache, std::string_view canvas_id, int width,
                          int height, RenderFile file, std::string_view if_none_match,
                          size_t page_bytes, const RenderFolder* folder) {
    RenderCache::Lease lease = cache.take(canvas_id, width, height);
    CanvasRender& render = entryOf(lease, width, height);
    RenderResult result;
    const PaintRules rules{folder, canvas::paintThreads(), true, nullptr, cache.savePointRules()};
    switch (bringUpToDate(store, canvas_id, render, page_bytes, rules, result.painted)) {
    case Freshness::Ready:
        break;
    case Freshness::NoSuchCanvas:
        lease.forget();
        result.outcome = RenderResult::Outcome::NoSuchCanvas;
        return result;
    case Freshness::Stale:
    case Freshness::Failed:
        if (!render.painted) {
            lease.forget();
        }
        result.outcome = RenderResult::Outcome::StorageFailed;
        return result;
    }
    keepOnDisk(render, canvas_id, folder);
    const bool picture = file == RenderFile::Picture;
    if (!(picture ? encodePicture(render) : encodeLayers(render))) {
        result.outcome = RenderResult::Outcome::EncodeFailed;
        return result;
    }
    std::string& etag = picture ? render.picture_etag : render.layers_etag;
    if (!etag.empty() && noneMatchNames(if_none_match, etag)) {
        result.outcome = RenderResult::Outcome::NotModified;
        result.etag = etag;
        return result;
    }
    result.png = picture ? render.picture_file->file()
                         : render.layers_file->file(
                               png::LayersKeyword, png::layersText(render.through, render.strokes));
    if (etag.empty()) {
        etag = etagOf(result.png);
    }
    result.etag = etag;
    result.outcome = noneMatchNames(if_none_match, etag) ? RenderResult::Outcome::NotModified
                                                         : RenderResult::Outcome::Rendered;
    if (result.outcome == RenderResult::Outcome::NotModified) {
        result.png.clear();
    }
    return result;
}

KeepOutcome keepRender(Store& store, RenderCache& cache, std::string_view canvas_id, int width,
                       int height, size_t page_bytes, const RenderFolder* folder,
                       const std::atomic<bool>& stop) {
    RenderCache::Lease lease = cache.take(canvas_id, width, height);
    CanvasRender& render = entryOf(lease, width, height);
    const PaintRules rules{folder, 1, false, &stop, cache.savePointRules()};
    RenderResult::Painted painted = RenderResult::Painted::Nothing;
    switch (bringUpToDate(store, canvas_id, render, page_bytes, rules, painted)) {
    case Freshness::Ready:
        keepOnDisk(render, canvas_id, folder);
        return KeepOutcome::Kept;
    case Freshness::Stale:
        return KeepOutcome::Stale;
    case Freshness::NoSuchCanvas:
        lease.forget();
        return KeepOutcome::NoSuchCanvas;
    case Freshness::Failed:
        break;
    }
    if (!render.painted) {
        lease.forget();
    }
    return KeepOutcome::Failed;
}

} // namespace velmo::server
