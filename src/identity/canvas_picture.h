#pragma once

#include "canvas/surface.h"

namespace velmo::identity {

// The pictures a canvas publishes of itself, in pixels.
constexpr int ThumbnailWidth = 64;
constexpr int ThumbnailHeight = 96;
constexpr int FullImageWidth = 320;
constexpr int FullImageHeight = 480;

// `source` stretched to width x height, each axis scaled on its own (never cropped or
// letter-boxed). Every target pixel is the area-weighted mean of the source pixels under it,
// in premultiplied values, so a same-size picture is an exact copy and a reduction by a whole
// factor is the plain mean of each block. An empty source gives a transparent picture; a
// size below one pixel gives an empty one.
canvas::Surface stretchedPicture(const canvas::Surface& source, int width, int height);

} // namespace velmo::identity
