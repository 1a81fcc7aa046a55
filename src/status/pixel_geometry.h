// Pixel geometry of the status window's drawing: whole-pixel points and
// rectangles, segments in fractional pixels, and the clipping of a segment
// to a rectangle.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>

namespace kelda::status {

// A rectangle in whole pixels; right and bottom are exclusive.
struct PixelRect {
  int left;
  int top;
  int right;
  int bottom;

  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

struct PixelPoint {
  int x;
  int y;

  friend bool operator==(const PixelPoint&, const PixelPoint&) = default;
};

struct Segment {
  double x1;
  double y1;
  double x2;
  double y2;
};

// Cuts `s` to `r` (Liang-Barsky); nullopt when nothing of it lies inside.
// A trace point can lie tens of millions of pixels away (a huge error sum),
// which neither a toolkit's fixed-point rasteriser nor its integer
// coordinates can take, so every segment is cut in double precision first.
inline std::optional<Segment> ClipTo(Segment s, const PixelRect& r) {
  const double dx = s.x2 - s.x1;
  const double dy = s.y2 - s.y1;
  double t0 = 0.0;
  double t1 = 1.0;
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {s.x1 - r.left, r.right - s.x1, s.y1 - r.top, r.bottom - s.y1};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0.0) {
      if (q[i] < 0.0) return std::nullopt;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0.0) {
      if (t > t1) return std::nullopt;
      t0 = std::max(t0, t);
    } else {
      if (t < t0) return std::nullopt;
      t1 = std::min(t1, t);
    }
  }
  if (!std::isfinite(t0) || !std::isfinite(t1)) return std::nullopt;
  return Segment{s.x1 + t0 * dx, s.y1 + t0 * dy, s.x1 + t1 * dx, s.y1 + t1 * dy};
}

}  // namespace kelda::status
