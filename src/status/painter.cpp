#include "status/painter.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <memory>

namespace kelda::status {

namespace {

// The edge and face colours, which the layout leaves to the toolkit: the
// grey ones of a plain desktop theme, so that a picture file looks the same
// on every machine.
constexpr Colour kFace = 0xC0C0C0;
constexpr Colour kShadow = 0x808080;
constexpr Colour kDarkShadow = 0x404040;
constexpr Colour kHighlight = 0xFFFFFF;
constexpr Colour kLight = 0xDFDFDF;

// No face the layout names is expected on a Linux desktop; fontconfig's
// generic sans face stands in for all of them.
constexpr const char* kStandInFace = "Sans";
constexpr double kSmallestFit = 0.75;

constexpr double kPointsPerInch = 72.0;

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

struct LayoutDeleter {
  void operator()(PangoLayout* layout) const { g_object_unref(layout); }
};
struct FontDeleter {
  void operator()(PangoFontDescription* font) const { pango_font_description_free(font); }
};

// Expects aliased drawing, one-pixel lines with square caps (see
// PaintStatusWindow).
class CairoCanvas final : public Canvas {
 public:
  CairoCanvas(cairo_t* cr, double dpi) : cr_(cr), dpi_(dpi) {}

  Colour Face() const override { return kFace; }
  Colour Shadow() const override { return kShadow; }

  void Fill(const PixelRect& r, Colour colour) override {
    FillRect(cr_, r.left, r.top, r.Width(), r.Height(), colour);
  }

  void Frame(const PixelRect& r, Colour colour) override {
    SetColour(cr_, colour);
    cairo_rectangle(cr_, r.left + 0.5, r.top + 0.5, r.Width() - 1, r.Height() - 1);
    cairo_stroke(cr_);
  }

  void SunkenEdge(const PixelRect& outer, int outer_ring, int inner_ring) override {
    Ring(outer, outer_ring, kShadow, kHighlight);
    const PixelRect inside{outer.left + outer_ring, outer.top + outer_ring,
                           outer.right - outer_ring, outer.bottom - outer_ring};
    Ring(inside, inner_ring, kDarkShadow, kLight);
  }

  void Line(PixelPoint from, PixelPoint to, Colour colour) override {
    SetColour(cr_, colour);
    if (from == to) {
      cairo_rectangle(cr_, from.x, from.y, 1, 1);
      cairo_fill(cr_);
      return;
    }
    // Through the pixels' centres; the square caps cover both end pixels.
    cairo_move_to(cr_, from.x + 0.5, from.y + 0.5);
    cairo_line_to(cr_, to.x + 0.5, to.y + 0.5);
    cairo_stroke(cr_);
  }

  void PushClip(const PixelRect& r) override {
    cairo_save(cr_);
    cairo_rectangle(cr_, r.left, r.top, r.Width(), r.Height());
    cairo_clip(cr_);
  }

  void PopClip() override { cairo_restore(cr_); }

  // The stand-in face runs wider than the layout's, which fits "RMS Error"
  // into the plot's corner; a text that would be cut is set smaller, down to
  // kSmallestFit of its size, before the clip takes the rest. Drawn over the
  // box's own colour, which needs no painting again.
  void Text(const TextBox& box) override {
    const PixelRect& r = box.bounds;
    const double size = box.font.points * dpi_ / kPointsPerInch;
    const std::unique_ptr<PangoFontDescription, FontDeleter> description(
        pango_font_description_new());
    pango_font_description_set_family(description.get(), kStandInFace);
    pango_font_description_set_weight(description.get(), static_cast<PangoWeight>(box.font.weight));
    pango_font_description_set_absolute_size(description.get(), size * PANGO_SCALE);
    const std::unique_ptr<PangoLayout, LayoutDeleter> layout(pango_cairo_create_layout(cr_));
    pango_layout_set_font_description(layout.get(), description.get());
    pango_layout_set_text(layout.get(), box.text.data(), static_cast<int>(box.text.size()));
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
    SetColour(cr_, box.fore);
    cairo_move_to(cr_, r.left, r.top);
    pango_cairo_show_layout(cr_, layout.get());
    cairo_restore(cr_);
  }

 private:
  // `w` pixels wide; the bottom and right sides take the corners they share
  // with the others.
  void Ring(const PixelRect& r, int w, Colour top_left, Colour bottom_right) {
    FillRect(cr_, r.left, r.bottom - w, r.Width(), w, bottom_right);
    FillRect(cr_, r.right - w, r.top, w, r.Height(), bottom_right);
    FillRect(cr_, r.left, r.top, r.Width() - w, w, top_left);
    FillRect(cr_, r.left, r.top, w, r.Height() - w, top_left);
  }

  cairo_t* cr_;
  double dpi_;
};

}  // namespace

void PaintStatusWindow(cairo_t* cr, const StatusContents& contents, double dpi) {
  cairo_save(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_line_width(cr, 1.0);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
  CairoCanvas canvas(cr, dpi);
  DrawStatusWindow(canvas, contents, {dpi, dpi});
  cairo_restore(cr);
}

}  // namespace kelda::status
