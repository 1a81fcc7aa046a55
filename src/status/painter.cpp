#include "status/painter.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "status/pixel_geometry.h"

namespace kelda::status {

namespace {

// The colours of a sunken three-dimensional edge and of the window behind
// the controls; the design leaves them to the toolkit, these are the
// classic ones.
constexpr Colour kFace = 0xC0C0C0;
constexpr Colour kShadow = 0x808080;
constexpr Colour kDarkShadow = 0x404040;
constexpr Colour kHighlight = 0xFFFFFF;
constexpr Colour kLight = 0xDFDFDF;
// The single-line border of the text boxes. A black frame would vanish
// against their black background; this one keeps the two fields apart.
constexpr Colour kBoxBorder = kShadow;

// No face named in the design is expected on a Linux desktop; fontconfig's
// generic sans face stands in for all of them.
constexpr const char* kStandInFace = "Sans";
// The window's default font, which the text boxes use.
constexpr Font kDefaultFont{"MS Sans Serif", 8.25, 400};
constexpr double kSmallestFit = 0.75;

constexpr double kPointsPerInch = 72.0;
constexpr double kTwipsPerInch = 1440.0;

void SetColour(cairo_t* cr, Colour c) {
  cairo_set_source_rgb(cr, (c & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0,
                       ((c >> 16) & 0xFF) / 255.0);
}

void FillRect(cairo_t* cr, int x, int y, int width, int height, Colour c) {
  if (width <= 0 || height <= 0) return;
  SetColour(cr, c);
  cairo_rectangle(cr, x, y, width, height);
  cairo_fill(cr);
}

// The kind of line the toolkit draws one pixel wide: a point at pixel
// coordinate c lies in pixel round(c), both ends are drawn, and a line whose
// ends fall into one pixel is that pixel.
void AliasedLine(cairo_t* cr, Segment s, const PixelRect& clip, Colour c) {
  // A NaN would put the Cairo context into an error state in which nothing
  // more is drawn; a stroke with one has no place on the plot anyway.
  if (!std::isfinite(s.x1 + s.y1 + s.x2 + s.y2)) return;
  // A margin beyond the clip so that ends cut by it still round outside.
  const PixelRect bounds{clip.left - 2, clip.top - 2, clip.right + 2, clip.bottom + 2};
  const std::optional<Segment> cut = ClipTo(s, bounds);
  if (!cut) return;
  const double x1 = std::round(cut->x1);
  const double y1 = std::round(cut->y1);
  const double x2 = std::round(cut->x2);
  const double y2 = std::round(cut->y2);
  SetColour(cr, c);
  if (x1 == x2 && y1 == y2) {
    cairo_rectangle(cr, x1, y1, 1, 1);
    cairo_fill(cr);
    return;
  }
  cairo_move_to(cr, x1 + 0.5, y1 + 0.5);
  cairo_line_to(cr, x2 + 0.5, y2 + 0.5);
  cairo_stroke(cr);
}

struct LayoutDeleter {
  void operator()(PangoLayout* layout) const { g_object_unref(layout); }
};
struct FontDeleter {
  void operator()(PangoFontDescription* font) const { pango_font_description_free(font); }
};

class Painter {
 public:
  Painter(cairo_t* cr, double dpi) : cr_(cr), dpi_(dpi), pixels_per_twip_(dpi / kTwipsPerInch) {}

  void Paint(const StatusContents& contents) {
    const PixelSize client = ClientPixels(dpi_);
    FillRect(cr_, 0, 0, client.width, client.height, kFace);
    for (const LineLayout& line : kLine1) {
      if (line.container != Container::kWindow) continue;
      AliasedLine(cr_, {Px(line.x1), Px(line.y1), Px(line.x2), Px(line.y2)},
                  {0, 0, client.width, client.height}, line.colour);
    }
    PaintPlot(contents.trace);
    PaintBox(kSSQBox, contents.ssq_caption);
    PaintBox(kCycleBox, contents.cycle_caption);
  }

 private:
  double Px(double twips) const { return twips * pixels_per_twip_; }
  int Edge(Twips twips) const { return static_cast<int>(std::lround(Px(twips))); }
  PixelRect EdgesOf(const Rect& r) const {
    return {Edge(r.left), Edge(r.top), Edge(r.left + r.width), Edge(r.top + r.height)};
  }

  // A sunken edge in two rings, each half the border's width.
  void PaintSunkenEdge(const PixelRect& outer, int ring) {
    PaintRing(outer, ring, kShadow, kHighlight);
    const PixelRect inside{outer.left + ring, outer.top + ring, outer.right - ring,
                           outer.bottom - ring};
    PaintRing(inside, Edge(kPicError.border) - ring, kDarkShadow, kLight);
  }

  void PaintRing(const PixelRect& r, int w, Colour top_left, Colour bottom_right) {
    FillRect(cr_, r.left, r.bottom - w, r.Width(), w, bottom_right);
    FillRect(cr_, r.right - w, r.top, w, r.Height(), bottom_right);
    FillRect(cr_, r.left, r.top, r.Width() - w, w, top_left);
    FillRect(cr_, r.left, r.top, w, r.Height() - w, top_left);
  }

  void PaintPlot(const std::vector<Stroke>& trace) {
    const PixelRect outer = EdgesOf(kPicError.bounds);
    FillRect(cr_, outer.left, outer.top, outer.Width(), outer.Height(), kPicError.back);
    PaintSunkenEdge(outer, Edge(kPicError.border / 2));

    const int border = Edge(kPicError.border);
    const PixelRect inner{outer.left + border, outer.top + border, outer.right - border,
                          outer.bottom - border};
    cairo_save(cr_);
    cairo_rectangle(cr_, inner.left, inner.top, inner.Width(), inner.Height());
    cairo_clip(cr_);
    for (const LineLayout& line : kLine1) {
      if (line.container != Container::kPlot) continue;
      AliasedLine(cr_,
                  {inner.left + Px(line.x1), inner.top + Px(line.y1), inner.left + Px(line.x2),
                   inner.top + Px(line.y2)},
                  inner, line.colour);
    }
    const PixelRect label = EdgesOf(kLabel1.bounds);
    PaintText({inner.left + label.left, inner.top + label.top,
               std::min(inner.left + label.right, inner.right),
               std::min(inner.top + label.bottom, inner.bottom)},
              kLabel1.design_caption, kLabel1.font.value_or(kDefaultFont), kLabel1.fore);
    const double unit_x = Px(kPicError.twips_per_unit_x);
    const double unit_y = Px(kPicError.twips_per_unit_y);
    for (const Stroke& s : trace) {
      AliasedLine(cr_,
                  {inner.left + s.from.x * unit_x, inner.top + s.from.y * unit_y,
                   inner.left + s.to.x * unit_x, inner.top + s.to.y * unit_y},
                  inner, s.colour);
    }
    cairo_restore(cr_);
  }

  void PaintBox(const TextLayout& box, const std::string& caption) {
    const PixelRect r = EdgesOf(box.bounds);
    FillRect(cr_, r.left, r.top, r.Width(), r.Height(), box.back.value_or(kFace));
    int inset = 0;
    if (box.border) {
      SetColour(cr_, kBoxBorder);
      cairo_rectangle(cr_, r.left + 0.5, r.top + 0.5, r.Width() - 1, r.Height() - 1);
      cairo_stroke(cr_);
      inset = 1;
    }
    PaintText({r.left + inset, r.top + inset, r.right - inset, r.bottom - inset}, caption,
              box.font.value_or(kDefaultFont), box.fore);
  }

  // Left-aligned at the top of `r` and clipped by it, as a static text is.
  // The stand-in face runs wider than the design's, which fitted "RMS Error"
  // into the plot's corner; a text that would be cut is set smaller, down to
  // kSmallestFit of its size, before the clip takes the rest.
  void PaintText(const PixelRect& r, std::string_view text, const Font& font, Colour colour) {
    if (text.empty() || r.Width() <= 0 || r.Height() <= 0) return;
    const double size = font.points * dpi_ / kPointsPerInch;
    const std::unique_ptr<PangoFontDescription, FontDeleter> description(
        pango_font_description_new());
    pango_font_description_set_family(description.get(), kStandInFace);
    pango_font_description_set_weight(description.get(), static_cast<PangoWeight>(font.weight));
    pango_font_description_set_absolute_size(description.get(), size * PANGO_SCALE);
    const std::unique_ptr<PangoLayout, LayoutDeleter> layout(pango_cairo_create_layout(cr_));
    pango_layout_set_font_description(layout.get(), description.get());
    pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
    int width = 0;
    pango_layout_get_pixel_size(layout.get(), &width, nullptr);
    if (width > r.Width()) {
      const double fit = std::max(kSmallestFit, static_cast<double>(r.Width()) / width);
      pango_font_description_set_absolute_size(description.get(), size * fit * PANGO_SCALE);
      pango_layout_set_font_description(layout.get(), description.get());
    }

    cairo_save(cr_);
    cairo_rectangle(cr_, r.left, r.top, r.Width(), r.Height());
    cairo_clip(cr_);
    SetColour(cr_, colour);
    cairo_move_to(cr_, r.left, r.top);
    pango_cairo_show_layout(cr_, layout.get());
    cairo_restore(cr_);
  }

  cairo_t* cr_;
  double dpi_;
  double pixels_per_twip_;
};

}  // namespace

PixelSize ClientPixels(double dpi) {
  const double pixels_per_twip = dpi / kTwipsPerInch;
  return {static_cast<int>(std::lround(kClientWidth * pixels_per_twip)),
          static_cast<int>(std::lround(kClientHeight * pixels_per_twip))};
}

StatusContents StatusContents::Of(const frmStatus& form) {
  return {form.SSQBoxCaption(), form.CycleBoxCaption(), form.Trace()};
}

void PaintStatusWindow(cairo_t* cr, const StatusContents& contents, double dpi) {
  cairo_save(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_line_width(cr, 1.0);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
  Painter(cr, dpi).Paint(contents);
  cairo_restore(cr);
}

}  // namespace kelda::status
