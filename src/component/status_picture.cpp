#include "kelda/status_picture.h"

#include <cairo.h>

#include <memory>

#include "base/error.h"
#include "component/thread_block.h"
#include "status/drawing.h"
#include "status/status_image.h"

namespace kelda {

static_assert(StatusPicture::kScreenDpi == status::kScreenDpi &&
              StatusPicture::kMinDpi == status::kMinDpi &&
              StatusPicture::kMaxDpi == status::kMaxDpi);

struct StatusPicture::Image {
  explicit Image(double dpi) : image(ThisThread().status.Form(), dpi) {}
  status::StatusImage image;
};

namespace {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};

cairo_status_t AppendTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

StatusPicture::StatusPicture(double dpi) : image_(std::make_shared<const Image>(dpi)) {}

StatusPicture::~StatusPicture() = default;

int StatusPicture::Width() const { return image_->image.Width(); }
int StatusPicture::Height() const { return image_->image.Height(); }

uint32_t StatusPicture::PixelAt(int x, int y) const { return image_->image.PixelAt(x, y); }

std::string StatusPicture::Png() const {
  const status::StatusImage& image = image_->image;
  const std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, image.Width(), image.Height()));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) Raise(kErrOutOfMemory);
  cairo_surface_flush(surface.get());
  unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < image.Height(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (int x = 0; x < image.Width(); ++x) {
      const uint32_t bgr = image.PixelAt(x, y);
      // Cairo's RGB24 word is 0x00RRGGBB.
      row[x] = ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
    }
  }
  cairo_surface_mark_dirty(surface.get());
  std::string png;
  if (cairo_surface_write_to_png_stream(surface.get(), AppendTo, &png) != CAIRO_STATUS_SUCCESS) {
    Raise(kErrOutOfMemory);
  }
  return png;
}

void StatusPicture::WritePng(const std::string& path) const { image_->image.WritePng(path); }

}  // namespace kelda
