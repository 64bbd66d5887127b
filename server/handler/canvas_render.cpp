#include "handler/canvas_render.h"

#include "canvas/band_split.h"
#include "canvas/stroke_painter.h"
#include "canvas/stroke_replay.h"
#include "canvas/stroke_text.h"
#include "handler/sha256.h"
#include "png/layers_png.h"
#include "store/stroke_pages.h"

#include <array>
#include <vector>

namespace velmo::server {
namespace {

// Up to this many strokes a page paint on the request's thread: waking the other cores costs
// more than a few strokes do.
constexpr size_t StrokesForAllCores = 32;

enum class Update { Done, Mismatch, Failed };

// Paints a page of stored strokes onto the entry's layers and notes where they changed them.
void paintPage(CanvasRender& render, const std::vector<StoredStroke>& page, bool whole) {
    const canvas::CanvasGeometry& geometry = render.geometry;
    std::vector<canvas::MWStroke> strokes;
    strokes.reserve(page.size());
    for (const StoredStroke& stored : page) {
        strokes.push_back(canvas::stroke_from_text(stored.text, geometry.pixel_scale));
    }
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    if (strokes.size() > StrokesForAllCores) {
        canvas::replayInBands(render.layers, geometry, strokes, render.layers[0].bounds(),
                              canvas::paintThreads());
    } else {
        canvas::StrokePainter painter;
        canvas::replayStrokes(painter, render.layers, geometry, strokes);
    }
    if (whole) {
        return; // allChanged follows
    }
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
                     int64_t last_stamp, int64_t strokes_now, size_t page_bytes) {
    StrokePages pages(store, std::string(canvas_id), page_bytes, render.through);
    while (!pages.done()) {
        const auto page = pages.next();
        if (!page) {
            render.painted = false; // painted in part: the layers say nothing now
            return Update::Failed;
        }
        if (page->empty()) {
            continue;
        }
        paintPage(render, *page, false);
        render.strokes += static_cast<int64_t>(page->size());
        render.through = page->back().server_time;
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
             size_t page_bytes) {
    const int w = render.geometry.canvas_width;
    const int h = render.geometry.canvas_height;
    if (render.layers[0].empty()) {
        render.layers = {canvas::Surface(w, h), canvas::Surface(w, h), canvas::Surface(w, h)};
    }
    canvas::resetLayers(render.layers);
    render.painted = false;
    render.strokes = 0;
    render.through = 0;
    // A page at a time: the layers' memory is bounded, the canvas's not.
    StrokePages pages(store, std::string(canvas_id), page_bytes);
    while (!pages.done()) {
        const auto page = pages.next();
        if (!page) {
            return false;
        }
        if (page->empty()) {
            continue;
        }
        paintPage(render, *page, true);
        render.strokes += static_cast<int64_t>(page->size());
        render.through = page->back().server_time;
    }
    render.painted = true;
    render.last_stamp = last_stamp;
    render.allChanged();
    return true;
}

enum class Freshness { Ready, NoSuchCanvas, Failed };

Freshness bringUpToDate(Store& store, std::string_view canvas_id, CanvasRender& render,
                        size_t page_bytes, RenderResult::Painted& painted) {
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
        painted = RenderResult::Painted::Appended;
        switch (paintAppended(store, canvas_id, render, last_stamp, size->strokes, page_bytes)) {
        case Update::Done:
            return Freshness::Ready;
        case Update::Failed:
            return Freshness::Failed;
        case Update::Mismatch:
            break;
        }
    }
    painted = RenderResult::Painted::Everything;
    return repaint(store, canvas_id, render, last_stamp, page_bytes) ? Freshness::Ready
                                                                     : Freshness::Failed;
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
                          size_t page_bytes) {
    canvas::CanvasGeometry geometry;
    geometry.setScreenSize(static_cast<float>(width), static_cast<float>(height));
    RenderCache::Lease lease = cache.take(canvas_id, width, height);
    CanvasRender& render = lease.render();
    RenderResult result;
    if (render.geometry != geometry) {
        render = CanvasRender{};
        render.geometry = geometry;
    }
    switch (bringUpToDate(store, canvas_id, render, page_bytes, result.painted)) {
    case Freshness::Ready:
        break;
    case Freshness::NoSuchCanvas:
        lease.forget();
        result.outcome = RenderResult::Outcome::NoSuchCanvas;
        return result;
    case Freshness::Failed:
        if (!render.painted) {
            lease.forget();
        }
        result.outcome = RenderResult::Outcome::StorageFailed;
        return result;
    }
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

} // namespace velmo::server
