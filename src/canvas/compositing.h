#pragma once

#include "canvas/pixel_rect.h"
#include "canvas/surface.h"

#include <array>

namespace velmo::canvas {

using LayerSurfaces = std::array<Surface, 3>;

// All surfaces passed together must have the same size. Rectangles are clipped to the
// surfaces: pixels outside are neither read nor written.

// dst = src (skipped when they are the same surface), then overlay painted over it at
// `alpha` (0..1): per channel o * alpha + d * (1 - o.alpha * alpha), rounded to nearest.
void composeBitmap(const Surface& src, const Surface& overlay, float alpha, Surface& dst,
                   PixelRect rect);

// The picture of the three opaque layers: layer 0 as it is, layer 1 multiplied onto it,
// layer 2 screened onto that. Per channel D = 1 - (1 - L0 * L1) * (1 - L2), within one unit.
// One pass reading the three layers and writing dst.
void composeAllLayers(const LayerSurfaces& layers, Surface& dst, PixelRect rect);

// The same with a chosen kernel, so tests reach each: Best is the widest the processor runs;
// Sse2 falls back to Portable where neither x86 nor WebAssembly SIMD is there.
enum class ComposeKernel { Best, Sse2, Portable };
void composeAllLayersWith(ComposeKernel kernel, const LayerSurfaces& layers, Surface& dst,
                          PixelRect rect);

// The neutral contents: white, white, black, which compose to white.
void resetLayers(LayerSurfaces& layers);

// Plain per-pixel versions of the kernels above, written straight from the formulas in
// floating point; tests hold the fast ones to them.
namespace reference {
void composeBitmap(const Surface& src, const Surface& overlay, float alpha, Surface& dst,
                   PixelRect rect);
void composeAllLayers(const LayerSurfaces& layers, Surface& dst, PixelRect rect);
} // namespace reference

} // namespace velmo::canvas
