#include "status/status_image.h"

#include <fmt/format.h>

#include <cstring>
#include <memory>

#include "base/error.h"
#include "base/sibling_file.h"
#include "status/window_module.h"

namespace kelda::status {

namespace {

// Pictures are drawn by the window module; without it there are none.
const WindowModule& Module() {
  std::string why;
  const WindowModule* module = LoadWindowModule(&why);
  if (module == nullptr) {
    Raise(kErrFileNotFound,
          fmt::format("{}: cannot draw the status picture without {}: {}",
                      StandardErrorText(kErrFileNotFound), kWindowModuleName, why));
  }
  return *module;
}

[[noreturn]] void RaiseFileError(const std::string& path, const std::string& reason) {
  Raise(kErrPathFileAccess, fmt::format("{}: cannot write '{}': {}",
                                        StandardErrorText(kErrPathFileAccess), path, reason));
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
  Module().paint(StatusContents::Of(form), dpi, width_, height_, stride_, data_);
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

std::string StatusImage::Png() const { return Module().png(data_, width_, height_, stride_); }

void StatusImage::WritePng(const std::string& path) const {
  const std::error_code error = ReplaceFileContents(path, Png());
  if (error) RaiseFileError(path, error.message());
}

}  // namespace kelda::status
