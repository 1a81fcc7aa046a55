// The status window's client area as a sequence of drawing operations: one
// walk over status/layout.h and the form's contents that turns them into
// fills, borders, lines and texts in whole pixels, and a Canvas per toolkit
// that carries those out. Whatever decides where a pixel goes lives in the
// walk, so the window looks the same on every toolkit; a canvas decides only
// how its toolkit draws a line, an edge or a text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "status/form.h"
#include "status/layout.h"
#include "status/pixel_geometry.h"

namespace kelda::status {

// The resolution the layout was made for: 15 twips a pixel.
inline constexpr double kScreenDpi = 96.0;

// The resolutions a status picture may be drawn at; a scale beyond them
// draws nothing recognisable.
inline constexpr double kMinDpi = 24.0;
inline constexpr double kMaxDpi = 960.0;

// Dots per inch along each axis.
struct Resolution {
  double x;
  double y;
};

struct PixelSize {
  int width;
  int height;
};

// The client area (5775 x 2430 twips) in pixels: 385 x 162 at 96 dpi.
PixelSize ClientPixels(Resolution dpi);

// What a frmStatus shows beyond its fixed layout, copied out of it so that a
// window can repaint after the form has changed or been replaced.
struct StatusContents {
  std::string ssq_caption;
  std::string cycle_caption;
  std::vector<Stroke> trace;

  static StatusContents Of(const frmStatus& form);
  // Whether these are `form`'s current contents. Allocates nothing.
  bool Shows(const frmStatus& form) const;
  friend bool operator==(const StatusContents&, const StatusContents&) = default;
};

// A static text to draw: left-aligned at the top of `bounds` and clipped by
// it.
struct TextBox {
  PixelRect bounds;       // never empty
  std::string_view text;  // UTF-8, never empty
  const Font& font;
  Colour fore;
  // The control's back colour, which `bounds` already shows; empty for a
  // transparent control.
  std::optional<Colour> back;
};

// One toolkit's drawing operations, in pixels from the client area's top
// left corner. Rectangles are never empty. Each operation paints over what
// is there, within the clip.
class Canvas {
 public:
  Canvas() = default;
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  virtual ~Canvas() = default;

  // The colours the layout leaves to the toolkit: the face of the window
  // and of controls without a back colour of their own, and the shadow of
  // a control's edge, which the text boxes' border uses.
  virtual Colour Face() const = 0;
  virtual Colour Shadow() const = 0;

  virtual void Fill(const PixelRect& r, Colour colour) = 0;
  // A frame one pixel wide along the inside of `r`.
  virtual void Frame(const PixelRect& r, Colour colour) = 0;
  // A sunken three-dimensional edge along the inside of `outer`: an outer
  // ring `outer_ring` pixels wide in the shadow (top and left) and the
  // highlight (bottom and right) colours, an inner ring `inner_ring` wide in
  // the dark shadow and the light colours. A toolkit that draws such edges
  // itself may draw its own, as long as it stays within the rings.
  virtual void SunkenEdge(const PixelRect& outer, int outer_ring, int inner_ring) = 0;
  // A line one pixel wide, not antialiased, with both ends drawn, so that
  // every pixel on it carries exactly `colour`; a line whose ends coincide
  // is that one pixel.
  virtual void Line(PixelPoint from, PixelPoint to, Colour colour) = 0;
  // Narrows the clip to `r` until the matching PopClip.
  virtual void PushClip(const PixelRect& r) = 0;
  virtual void PopClip() = 0;
  virtual void Text(const TextBox& box) = 0;
};

// Draws the whole client area on `canvas`, controls in creation order:
// window-level lines first, so that Line1(18) ends up under picError, then
// picError with its grid, its caption and, last, the trace over both, as it
// looks while a run draws it; then the two text boxes. Strokes of any size
// are accepted: what lies outside picError's inner surface is cut off in
// double precision before it reaches the canvas, and a stroke with a NaN is
// left out.
// REQUIRES: dpi.x > 0, dpi.y > 0.
void DrawStatusWindow(Canvas& canvas, const StatusContents& contents, Resolution dpi);

}  // namespace kelda::status
