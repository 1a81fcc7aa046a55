#include "status/status_image.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "base/error.h"
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
  const std::string png = Png();
  std::string partial;
  const int fd = CreateSibling(path, partial);
  if (fd < 0) RaiseFileError(path, std::strerror(errno));
  std::string failure;
  for (size_t done = 0; done < png.size() && failure.empty();) {
    const ssize_t written = ::write(fd, png.data() + done, png.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failure = std::strerror(written < 0 ? errno : EIO);
    } else {
      done += static_cast<size_t>(written);
    }
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
