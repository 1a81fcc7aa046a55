#include "status/drawing.h"

#include <algorithm>
#include <cmath>

namespace kelda::status {

namespace {

constexpr double kTwipsPerInch = 1440.0;

class Walk {
 public:
  Walk(Canvas& canvas, Resolution dpi) : canvas_(canvas), dpi_(dpi) {}

  void Draw(const StatusContents& contents) {
    const PixelSize client = ClientPixels(dpi_);
    const PixelRect window{0, 0, client.width, client.height};
    Fill(window, canvas_.Face());
    for (const LineLayout& line : kLine1) {
      if (line.container != Container::kWindow) continue;
      Line({PxX(line.x1), PxY(line.y1), PxX(line.x2), PxY(line.y2)}, window, line.colour);
    }
    DrawPlot(contents.trace);
    DrawBox(kSSQBox, contents.ssq_caption);
    DrawBox(kCycleBox, contents.cycle_caption);
  }

 private:
  // Dividing last: an edge that lies exactly half way between two pixels
  // (twips and dots per inch are whole numbers) stays exactly there and
  // rounds away from zero, instead of one way or the other as 1/1440 happens
  // to round in binary.
  double PxX(double twips) const { return twips * dpi_.x / kTwipsPerInch; }
  double PxY(double twips) const { return twips * dpi_.y / kTwipsPerInch; }
  int EdgeX(Twips twips) const { return static_cast<int>(std::lround(PxX(twips))); }
  int EdgeY(Twips twips) const { return static_cast<int>(std::lround(PxY(twips))); }
  PixelRect EdgesOf(const Rect& r) const {
    return {EdgeX(r.left), EdgeY(r.top), EdgeX(r.left + r.width), EdgeY(r.top + r.height)};
  }

  void Fill(const PixelRect& r, Colour colour) {
    if (r.Width() > 0 && r.Height() > 0) canvas_.Fill(r, colour);
  }

  // A point at pixel coordinate c lies in pixel round(c), as a toolkit's
  // one-pixel lines place it.
  void Line(Segment s, const PixelRect& clip, Colour colour) {
    // A NaN would put some toolkits into an error state in which nothing
    // more is drawn; a stroke with one has no place on the plot anyway.
    if (!std::isfinite(s.x1 + s.y1 + s.x2 + s.y2)) return;
    // A margin beyond the clip so that ends cut by it still round outside.
    const PixelRect bounds{clip.left - 2, clip.top - 2, clip.right + 2, clip.bottom + 2};
    const std::optional<Segment> cut = ClipTo(s, bounds);
    if (!cut) return;
    canvas_.Line({Round(cut->x1), Round(cut->y1)}, {Round(cut->x2), Round(cut->y2)}, colour);
  }
  static int Round(double c) { return static_cast<int>(std::lround(c)); }

  void Text(const PixelRect& r, std::string_view text, const Font& font, Colour fore,
            std::optional<Colour> back) {
    if (text.empty() || r.Width() <= 0 || r.Height() <= 0) return;
    canvas_.Text({r, text, font, fore, back});
  }

  void DrawPlot(const std::vector<Stroke>& trace) {
    const PixelRect outer = EdgesOf(kPicError.bounds);
    Fill(outer, kPicError.back);
    const int outer_ring = EdgeX(kPicError.border / 2);
    canvas_.SunkenEdge(outer, outer_ring, EdgeX(kPicError.border) - outer_ring);

    const int border_x = EdgeX(kPicError.border);
    const int border_y = EdgeY(kPicError.border);
    const PixelRect inner{outer.left + border_x, outer.top + border_y, outer.right - border_x,
                          outer.bottom - border_y};
    canvas_.PushClip(inner);
    for (const LineLayout& line : kLine1) {
      if (line.container != Container::kPlot) continue;
      Line({inner.left + PxX(line.x1), inner.top + PxY(line.y1), inner.left + PxX(line.x2),
            inner.top + PxY(line.y2)},
           inner, line.colour);
    }
    const PixelRect label = EdgesOf(kLabel1.bounds);
    Text({inner.left + label.left, inner.top + label.top,
          std::min(inner.left + label.right, inner.right),
          std::min(inner.top + label.bottom, inner.bottom)},
         kLabel1.design_caption, kLabel1.font.value_or(kDefaultFont), kLabel1.fore, kLabel1.back);
    const double unit_x = PxX(kPicError.twips_per_unit_x);
    const double unit_y = PxY(kPicError.twips_per_unit_y);
    for (const Stroke& s : trace) {
      Line({inner.left + s.from.x * unit_x, inner.top + s.from.y * unit_y,
            inner.left + s.to.x * unit_x, inner.top + s.to.y * unit_y},
           inner, s.colour);
    }
    canvas_.PopClip();
  }

  void DrawBox(const TextLayout& box, std::string_view caption) {
    const PixelRect r = EdgesOf(box.bounds);
    Fill(r, box.back.value_or(canvas_.Face()));
    int inset = 0;
    if (box.border) {
      // In the shadow colour: a black frame would vanish against the boxes'
      // black background, and this one keeps the two fields apart.
      if (r.Width() > 0 && r.Height() > 0) canvas_.Frame(r, canvas_.Shadow());
      inset = 1;
    }
    Text({r.left + inset, r.top + inset, r.right - inset, r.bottom - inset}, caption,
         box.font.value_or(kDefaultFont), box.fore, box.back);
  }

  Canvas& canvas_;
  Resolution dpi_;
};

}  // namespace

PixelSize ClientPixels(Resolution dpi) {
  return {static_cast<int>(std::lround(kClientWidth * dpi.x / kTwipsPerInch)),
          static_cast<int>(std::lround(kClientHeight * dpi.y / kTwipsPerInch))};
}

StatusContents StatusContents::Of(const frmStatus& form) {
  return {form.SSQBoxCaption(), form.CycleBoxCaption(), form.Trace()};
}

bool StatusContents::Shows(const frmStatus& form) const {
  return ssq_caption == form.SSQBoxCaption() && cycle_caption == form.CycleBoxCaption() &&
         trace == form.Trace();
}

void DrawStatusWindow(Canvas& canvas, const StatusContents& contents, Resolution dpi) {
  Walk(canvas, dpi).Draw(contents);
}

}  // namespace kelda::status
