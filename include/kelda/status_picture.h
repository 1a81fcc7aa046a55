// A picture of the calling thread's status window: the client area exactly
// as the window on screen shows it, whether or not it is visible, for a file,
// a notebook or a look at single pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kelda {

class StatusPicture {
 public:
  // The resolution the window was laid out for, and the range a picture may
  // be drawn at.
  static constexpr double kScreenDpi = 96.0;
  static constexpr double kMinDpi = 24.0;
  static constexpr double kMaxDpi = 960.0;

  // Draws the calling thread's status window (created hidden if it has none)
  // as a screen of `dpi` dots per inch shows it. Raises Error 5 for a dpi
  // outside kMinDpi..kMaxDpi.
  explicit StatusPicture(double dpi = kScreenDpi);
  ~StatusPicture();
  // Copies share the drawn image, which never changes.
  StatusPicture(const StatusPicture&) = default;
  StatusPicture& operator=(const StatusPicture&) = default;

  int Width() const;
  int Height() const;

  // The colour of pixel (x, y) from the top left corner, as 0x00BBGGRR.
  // REQUIRES: 0 <= x < Width(), 0 <= y < Height().
  uint32_t PixelAt(int x, int y) const;

  // The picture as the bytes of a PNG file.
  std::string Png() const;

  // Writes the picture as a PNG file. `path` is replaced only once the new
  // file is complete. Raises Error 75 when the file cannot be written.
  void WritePng(const std::string& path) const;

 private:
  struct Image;
  std::shared_ptr<const Image> image_;
};

}  // namespace kelda
