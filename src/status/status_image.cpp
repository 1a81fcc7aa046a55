#include "status/status_image.h"

#include <cairo.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "base/error.h"
#include "status/painter.h"

namespace kelda::status {

namespace {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

[[noreturn]] void RaiseFileError(const std::string& path, const std::string& reason) {
  Raise(kErrPathFileAccess, fmt::format("{}: cannot write '{}': {}",
                                        StandardErrorText(kErrPathFileAccess), path, reason));
}

// A new file beside `path`, created exclusively so that nothing already
// there (a link planted under the name, a file another writer is filling) is
// written through, and with the usual permissions once renamed.
int CreateSibling(const std::string& path, std::string& name) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    name = fmt::format("{}.{:08x}.partial", path, random());
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

struct PngSink {
  int fd;
  int error = 0;
};

cairo_status_t WriteToSink(void* closure, const unsigned char* data, unsigned int length) {
  PngSink& sink = *static_cast<PngSink*>(closure);
  while (length > 0) {
    const ssize_t written = ::write(sink.fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      sink.error = written < 0 ? errno : EIO;
      return CAIRO_STATUS_WRITE_ERROR;
    }
    data += written;
    length -= static_cast<unsigned int>(written);
  }
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

StatusImage::StatusImage(const frmStatus& form, double dpi) {
  if (!(dpi >= kMinDpi && dpi <= kMaxDpi)) {
    Raise(kErrInvalidArgument,
          fmt::format("Invalid procedure call or argument: a status image of {} dpi", dpi));
  }
  const PixelSize size = ClientPixels({dpi, dpi});
  width_ = size.width;
  height_ = size.height;
  stride_ = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, width_);
  data_.assign(static_cast<size_t>(stride_) * static_cast<size_t>(height_), 0);
  const Surface surface(cairo_image_surface_create_for_data(data_.data(), CAIRO_FORMAT_RGB24,
                                                            width_, height_, stride_));
  {
    const std::unique_ptr<cairo_t, ContextDeleter> cr(cairo_create(surface.get()));
    PaintStatusWindow(cr.get(), StatusContents::Of(form), dpi);
  }
  cairo_surface_flush(surface.get());
}

Colour StatusImage::PixelAt(int x, int y) const {
  uint32_t word;
  std::memcpy(&word, &data_[static_cast<size_t>(y) * stride_ + static_cast<size_t>(x) * 4],
              sizeof word);
  const uint32_t r = (word >> 16) & 0xFF;
  const uint32_t g = (word >> 8) & 0xFF;
  const uint32_t b = word & 0xFF;
  return (b << 16) | (g << 8) | r;
}

void StatusImage::WritePng(const std::string& path) const {
  std::string partial;
  const int fd = CreateSibling(path, partial);
  if (fd < 0) RaiseFileError(path, std::strerror(errno));

  // Cairo only reads the pixels for the PNG.
  const Surface surface(cairo_image_surface_create_for_data(
      const_cast<uint8_t*>(data_.data()), CAIRO_FORMAT_RGB24, width_, height_, stride_));
  PngSink sink{fd};
  const cairo_status_t status =
      cairo_surface_write_to_png_stream(surface.get(), WriteToSink, &sink);
  std::string failure;
  if (sink.error != 0) {
    failure = std::strerror(sink.error);
  } else if (status != CAIRO_STATUS_SUCCESS) {
    failure = cairo_status_to_string(status);
  }
  if (::close(fd) != 0 && failure.empty()) failure = std::strerror(errno);
  if (failure.empty() && std::rename(partial.c_str(), path.c_str()) != 0) {
    failure = std::strerror(errno);
  }
  if (!failure.empty()) {
    ::unlink(partial.c_str());
    RaiseFileError(path, failure);
  }
}

}  // namespace kelda::status
