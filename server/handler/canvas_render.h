#pragma once

#include "handler/render_cache.h"
#include "handler/render_folder.h"
#include "store/store.h"

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace velmo::server {

// The two files a render makes of a canvas's layers at one size: the composed picture (8-bit
// RGB, for GET /render) and the three layers one above the other with what they hold
// (png/layers_png.h, for GET /layers).
enum class RenderFile { Picture, Layers };

struct RenderResult {
    enum class Outcome {
        Rendered,      // `png` and `etag` hold the file
        NotModified,   // the file's `etag` is among those the request named; `png` is empty
        NoSuchCanvas,  // no stroke and no picture
        StorageFailed, // a read failed before or during the paint
        EncodeFailed,  // zlib failed (out of memory)
    };
    Outcome outcome = Outcome::StorageFailed;
    // What bringing the entry up to date took, for tests and logs.
    enum class Painted { Nothing, Appended, FromSavePoint, Everything };
    Painted painted = Painted::Nothing;
    std::string png;
    std::string etag; // a strong ETag, quoted, of the file's bytes
};

// The file of the canvas's layers painted at the canvas size of
// CanvasGeometry::setScreenSize(width, height), from the entry `cache` keeps for it, brought up
// to date from `store` first:
// - unchanged (Store::lastStamp and the stroke count of Store::canvasSize as the entry was
//   painted): the entry's file as it is;
// - strokes only appended since (those Store::strokesAfter the newest painted account for
//   every stroke the canvas holds beyond the ones painted): those painted on top of the
//   entry's layers, the files encoded again in the rows they touched;
// - anything else (a delete, a change during the reads, a new entry): on a big canvas, the
//   layers of its newest save point (CanvasRender::recent, older) that the same count check
//   finds still good, and the strokes after it painted on top; otherwise every stroke painted
//   again on every core, a page (`page_bytes` of stroke text) at a time.
// Stamps of a canvas only grow, and a stamp Store::lastStamp gives is readable, so the strokes
// after the newest painted always paint on top and the counts find every other change.
// `if_none_match` is the request's If-None-Match header (empty when absent). Blocks while
// another request renders the same canvas and size.
// With a `folder`, a new entry starts from the layers kept there when they still hold the
// canvas's strokes up to their newest, and the entry's layers are kept there again after a
// paint from the first stroke and after every 1,000 strokes painted on top.
RenderResult renderCanvas(Store& store, RenderCache& cache, std::string_view canvas_id, int width,
                          int height, RenderFile file, std::string_view if_none_match,
                          size_t page_bytes, const RenderFolder* folder = nullptr);

// What RenderKeeper does for one canvas and size between requests: the entry brought up to
// date as renderCanvas would, but on this thread alone and without making a file, except that
// a painted entry that only a paint from the first stroke would mend (after a delete) is left
// as it is (Stale) for the next request, and the paint gives up (Failed, the entry dropped)
// once `stop` is set.
enum class KeepOutcome { Kept, Stale, NoSuchCanvas, Failed };
KeepOutcome keepRender(Store& store, RenderCache& cache, std::string_view canvas_id, int width,
                       int height, size_t page_bytes, const RenderFolder* folder,
                       const std::atomic<bool>& stop);

// Whether an If-None-Match header names `etag`: "*", or a list of entity tags, weak ones
// compared by their tag (the weak comparison RFC 9110 asks of If-None-Match).
bool noneMatchNames(std::string_view if_none_match, std::string_view etag);

} // namespace velmo::server
