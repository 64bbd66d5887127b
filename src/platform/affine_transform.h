#pragma once

namespace velmo::platform {

// A 2D affine transform: (x, y) -> (a x + c y + tx, b x + d y + ty). The display applies its
// transform about its own centre, as views do: a point p is shown at centre + T(p - centre).
struct AffineTransform {
    float a = 1.0f;
    float b = 0.0f;
    float c = 0.0f;
    float d = 1.0f;
    float tx = 0.0f;
    float ty = 0.0f;

    static AffineTransform translation(float x, float y) { return {1, 0, 0, 1, x, y}; }
    static AffineTransform scale(float s) { return {s, 0, 0, s, 0, 0}; }

    float applyX(float x, float y) const { return a * x + c * y + tx; }
    float applyY(float x, float y) const { return b * x + d * y + ty; }

    // The transform that applies `first`, then `second`.
    static AffineTransform then(const AffineTransform& first, const AffineTransform& second) {
        return {first.a * second.a + first.b * second.c,
                first.a * second.b + first.b * second.d,
                first.c * second.a + first.d * second.c,
                first.c * second.b + first.d * second.d,
                first.tx * second.a + first.ty * second.c + second.tx,
                first.tx * second.b + first.ty * second.d + second.ty};
    }

    bool operator==(const AffineTransform&) const = default;
};

} // namespace velmo::platform
