// The painter: draws frmStatus's client area with Cairo from the design in
// status/layout.h and a copy of the form's texts and trace. Both the window on
// screen and the in-memory image (status/status_image.h) use it, so a picture
// file shows exactly what the screen shows.
#pragma once

#include <cairo.h>

#include <string>
#include <vector>

#include "status/form.h"

namespace kelda::status {

// The resolution the design was laid out for: 15 twips a pixel.
inline constexpr double kScreenDpi = 96.0;

// The resolutions the painter accepts; a scale beyond them draws nothing
// recognisable.
inline constexpr double kMinDpi = 24.0;
inline constexpr double kMaxDpi = 960.0;

struct PixelSize {
  int width;
  int height;
};

// The client area (5775 x 2430 twips) in pixels at `dpi`: 385 x 162 at 96.
PixelSize ClientPixels(double dpi);

// What a frmStatus shows beyond its fixed design, copied out of it so that a
// window can repaint after the form has changed or been replaced.
struct StatusContents {
  std::string ssq_caption;
  std::string cycle_caption;
  std::vector<Stroke> trace;

  static StatusContents Of(const frmStatus& form);
  friend bool operator==(const StatusContents&, const StatusContents&) = default;
};

// Paints the whole client area onto `cr`, whose user space must be pixels
// from the client area's top left corner. Controls are painted in creation
// order (window-level lines first, so Line1(18) ends up under picError);
// within picError the trace comes last, over the grid and the caption, as it
// looks while a run draws it. The trace's lines are aliased, like the
// toolkit's one-pixel lines, so a pixel on a segment carries its exact colour.
// Strokes of any size are accepted: what lies outside picError's inner
// surface is clipped before it reaches Cairo. Leaves `cr`'s state as it was.
// REQUIRES: kMinDpi <= dpi <= kMaxDpi.
void PaintStatusWindow(cairo_t* cr, const StatusContents& contents, double dpi);

}  // namespace kelda::status
