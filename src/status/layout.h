// The status window's design: caption, client size, and every control's
// geometry, colours and font, as constant data. The walk in status/drawing.h
// draws from this table and from the mutable state of frmStatus; nothing else
// decides what the window looks like.
//
// Positions and sizes are twips (1/1440 inch) from the top left corner of the
// container: the window's client area, or picError's inner surface for the
// controls inside the plot. Colours are &HBBGGRR (blue, green, red bytes).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelda::status {

using Twips = int32_t;
using Colour = uint32_t;

inline constexpr Colour kBlack = 0x000000;
inline constexpr Colour kGreen = 0x00FF00;              // the trace
inline constexpr Colour kThreeQuarterGreen = 0x00C000;  // texts
inline constexpr Colour kHalfGreen = 0x008000;          // the grid

struct Rect {
  Twips left;
  Twips top;
  Twips width;
  Twips height;
};

struct Font {
  std::string_view face;
  double points;
  int32_t weight;  // 400 regular, 700 bold

  friend constexpr bool operator==(const Font&, const Font&) = default;
};

// The window's default font, which a control without a font of its own
// (the text boxes) uses.
inline constexpr Font kDefaultFont{"MS Sans Serif", 8.25, 400};

enum class Container { kWindow, kPlot };

inline constexpr std::string_view kCaption = "Neural Network Status";
inline constexpr Twips kClientWidth = 5775;
inline constexpr Twips kClientHeight = 2430;

// picError, the drawing area. Its single-line 3-D border takes `border` twips
// on every side, leaving the inner surface that the plot's children and the
// trace live on.
struct PlotLayout {
  Rect bounds;
  Twips border;
  Colour back;
  int16_t tab_index;
  // How many twips one unit of the drawing scale spans. The scale's origin is
  // the inner top left corner and both axes grow away from it.
  double twips_per_unit_x;
  double twips_per_unit_y;

  constexpr Twips InnerWidth() const { return bounds.width - 2 * border; }
  constexpr Twips InnerHeight() const { return bounds.height - 2 * border; }
};

inline constexpr PlotLayout kPicError{
    .bounds = {0, 0, 5775, 2175},
    .border = 30,
    .back = kBlack,
    .tab_index = 0,
    .twips_per_unit_x = 1.0,
    .twips_per_unit_y = 211.5,
};

// A static text control. `back` empty means transparent; `font` empty means
// kDefaultFont.
struct TextLayout {
  std::string_view name;
  Container container;
  Rect bounds;
  Colour fore;
  std::optional<Colour> back;
  bool border;
  std::optional<Font> font;
  int16_t tab_index;
  std::string_view design_caption;
};

inline constexpr TextLayout kLabel1{
    .name = "Label1",
    .container = Container::kPlot,
    .bounds = {4800, 0, 1095, 255},
    .fore = kThreeQuarterGreen,
    .back = std::nullopt,
    .border = false,
    .font = Font{"MS Sans Serif", 8.25, 700},
    .tab_index = 1,
    .design_caption = "RMS Error",
};

inline constexpr TextLayout kSSQBox{
    .name = "SSQBox",
    .container = Container::kWindow,
    .bounds = {0, 2160, 2895, 275},
    .fore = kThreeQuarterGreen,
    .back = kBlack,
    .border = true,
    .font = std::nullopt,
    .tab_index = 3,
    .design_caption = "",
};

inline constexpr TextLayout kCycleBox{
    .name = "CycleBox",
    .container = Container::kWindow,
    .bounds = {2880, 2160, 2895, 275},
    .fore = kThreeQuarterGreen,
    .back = kBlack,
    .border = true,
    .font = std::nullopt,
    .tab_index = 2,
    .design_caption = "",
};

// One element of the Line1 control array.
struct LineLayout {
  Container container;
  Twips x1;
  Twips y1;
  Twips x2;
  Twips y2;
  Colour colour;
};

namespace layout_detail {

inline constexpr Twips kGridRight = 5760;

constexpr LineLayout Vertical(Twips x, Twips y1, Twips y2) {
  return {Container::kPlot, x, y1, x, y2, kHalfGreen};
}
constexpr LineLayout Horizontal(Twips y) {
  return {Container::kPlot, 0, y, kGridRight, y, kHalfGreen};
}
// Vertical lines come in three lengths, and some x has two of them; at
// every x the lines there span the whole height of the inner surface.
constexpr LineLayout Low(Twips x) { return Vertical(x, 2160, -120); }
constexpr LineLayout Mid(Twips x) { return Vertical(x, 2280, 0); }
constexpr LineLayout High(Twips x) { return Vertical(x, 2400, 120); }

}  // namespace layout_detail

// Line1, indexed by element. Element 18 sits on the window itself, under
// picError, so it is never seen: window-level lines are drawn before
// picError. The others form the grid: together a vertical line at every
// multiple of 240 from 0 to 5760 and a horizontal one at every multiple of
// 240 from 240 to 1920, each clipped by picError's inner surface.
inline constexpr std::array<LineLayout, 40> kLine1 = [] {
  using namespace layout_detail;
  return std::array<LineLayout, 40>{
      /* 0 */ Low(240),
      /* 1 */ Mid(0),
      /* 2 */ Mid(480),
      /* 3 */ High(240),
      /* 4 */ Low(720),
      /* 5 */ Mid(480),
      /* 6 */ Mid(960),
      /* 7 */ High(720),
      /* 8 */ Mid(960),
      /* 9 */ Mid(1200),
      /* 10 */ Mid(1440),
      /* 11 */ Mid(1920),
      /* 12 */ Mid(1680),
      /* 13 */ Horizontal(240),
      /* 14 */ Mid(2160),
      /* 15 */ Low(2400),
      /* 16 */ Low(2880),
      /* 17 */ Mid(2640),
      /* 18 */ LineLayout{Container::kWindow, 0, 0, kGridRight, 0, kHalfGreen},
      /* 19 */ Mid(3120),
      /* 20 */ Low(3360),
      /* 21 */ Low(3840),
      /* 22 */ Mid(3600),
      /* 23 */ Low(3840),
      /* 24 */ Mid(4080),
      /* 25 */ Low(4320),
      /* 26 */ Low(4800),
      /* 27 */ Mid(4560),
      /* 28 */ Low(4800),
      /* 29 */ Mid(5040),
      /* 30 */ Low(5280),
      /* 31 */ Low(5760),
      /* 32 */ Mid(5520),
      /* 33 */ Horizontal(480),
      /* 34 */ Horizontal(720),
      /* 35 */ Horizontal(960),
      /* 36 */ Horizontal(1200),
      /* 37 */ Horizontal(1440),
      /* 38 */ Horizontal(1680),
      /* 39 */ Horizontal(1920),
  };
}();

}  // namespace kelda::status
