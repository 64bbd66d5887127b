#pragma once

#include "wire/wire_limits.h"

#include <cstddef>
#include <cstdint>

namespace velmo::server {

using wire::MaxCanvasId;
using wire::MaxImageUrl;
using wire::MaxNickname;
using wire::MaxStrokePoints;
using wire::MaxUserName;

// What one request may carry. Anything beyond is refused with a 4xx status before anything
// is stored.
inline constexpr size_t MaxCommandBody = 1024 * 1024;
inline constexpr size_t MaxUploadImage = 8 * 1024 * 1024;
// The form fields and boundaries around the image; the Gyazo form needs a few hundred bytes.
inline constexpr size_t MaxUploadOverhead = 16 * 1024;
inline constexpr size_t MaxUploadBody = MaxUploadImage + MaxUploadOverhead;
// A reply never carries more strokes than this; the rest follow with the next poll.
inline constexpr size_t MaxStrokesPerReply = 5000;
inline constexpr size_t MaxSearchResults = 200;
// Canvases a share page names for one date code: its first holder and the others after it.
inline constexpr size_t MaxCanvasesPerDateId = 50;
// Canvases on the front page: each is a server render, so few.
inline constexpr size_t MaxFrontPageCanvases = 24;
// Uploaded pictures: the client sends 320 x 480 and 64 x 96; larger ones are allowed up to a
// size every browser decodes comfortably.
inline constexpr uint32_t MaxImageSide = 8192;
inline constexpr uint64_t MaxImagePixels = 4096ull * 4096ull;
// A canvas takes no more strokes once it holds this many, or this many bytes of stroke text:
// every client that opens it reads all of it, and a phone holds it in memory.
inline constexpr int64_t DefaultMaxCanvasStrokes = 200'000;
inline constexpr int64_t DefaultMaxCanvasBytes = 256ll * 1024 * 1024;
// Server renders.
inline constexpr int DefaultRenderWidth = 320;
inline constexpr int DefaultRenderHeight = 480;
inline constexpr int MaxRenderWidth = 1280;
inline constexpr int MaxRenderHeight = 1920;
// The layers of a canvas for a client at its screen size (GET /layers): a side up to 4096, and
// no more pixels than a 4K screen.
inline constexpr int MaxLayersSide = 4096;
inline constexpr int64_t MaxLayersPixels = 3840 * 2160;
// Memory for the server's renders kept between requests, by default.
inline constexpr size_t DefaultRenderCacheBytes = 256 * 1024 * 1024;

} // namespace velmo::server
