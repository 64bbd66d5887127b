#pragma once

#include "canvas/canvas_geometry.h"
#include "canvas/compositing.h"
#include "canvas/mw_stroke.h"
#include "canvas/surface.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <span>

namespace velmo::exporting {

// The largest picture an export paints, in pixels: at 4 bytes a pixel its three layers and
// the composed picture take some 640 MiB.
inline constexpr long long MaxExportPixels = 40'000'000;

// The geometry of the same logical canvas at `scale` times the pixels of `geometry` (a scale
// of 1 gives it back); the scale must be at least 1. Nothing when the picture would exceed
// MaxExportPixels.
std::optional<canvas::CanvasGeometry> scaledGeometry(const canvas::CanvasGeometry& geometry,
                                                     int scale);

// Told how far a long piece of work has come (0 to 1); answers false to stop it. Called on
// the thread doing the work.
using ProgressFunction = std::function<bool(double done)>;

// The three layers of `strokes` painted in order on a fresh canvas of `geometry`, as the
// engine's replay paints them (on every core), a piece at a time so that `progress` hears
// between pieces. Nothing when `progress` said stop.
std::optional<canvas::LayerSurfaces> paintLayers(std::span<const canvas::MWStroke> strokes,
                                                 const canvas::CanvasGeometry& geometry,
                                                 const ProgressFunction& progress = {});

// The picture the three layers compose to.
canvas::Surface composedPicture(const canvas::LayerSurfaces& layers);

// `picture` made smaller, when needed, to fit `most` x `most` pixels with its proportions
// kept (each side at least 1): every pixel the average of the pixels it covers.
canvas::Surface shrunkToFit(const canvas::Surface& picture, int most);

} // namespace velmo::exporting
