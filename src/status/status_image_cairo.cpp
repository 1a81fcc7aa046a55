// Cairo's side of a status image: painting and PNG encoding. Part of the
// window module (see status/window_module.h).
#include <cairo.h>
#include <memory>
#include <string>

#include "base/error.h"

#include "status/painter.h"
#include "status/window_parts.h"

namespace kelda::status {

namespace {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

cairo_status_t AppendTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

void PaintImage(const StatusContents& contents, double dpi, int width, int height, int& stride,
                std::vector<uint8_t>& pixels) {
  stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, width);
  pixels.assign(static_cast<size_t>(stride) * static_cast<size_t>(height), 0);
  const Surface surface(cairo_image_surface_create_for_data(pixels.data(), CAIRO_FORMAT_RGB24,
                                                            width, height, stride));
  {
    const std::unique_ptr<cairo_t, ContextDeleter> cr(cairo_create(surface.get()));
    PaintStatusWindow(cr.get(), contents, dpi);
  }
  cairo_surface_flush(surface.get());
}

std::string EncodePng(const std::vector<uint8_t>& pixels, int width, int height, int stride) {
  // Cairo only reads the pixels for the PNG.
  const Surface surface(cairo_image_surface_create_for_data(
      const_cast<uint8_t*>(pixels.data()), CAIRO_FORMAT_RGB24, width, height, stride));
  std::string png;
  if (cairo_surface_write_to_png_stream(surface.get(), AppendTo, &png) != CAIRO_STATUS_SUCCESS) {
    Raise(kErrOutOfMemory);
  }
  return png;
}

}  // namespace kelda::status
