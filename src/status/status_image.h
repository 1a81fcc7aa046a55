// The status window drawn into memory: the client area exactly as the
// window on screen shows it, for a picture file (a run on a machine without a
// display, the README's image) or for a look at single pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "status/drawing.h"
#include "status/form.h"

namespace kelda::status {

class StatusImage {
 public:
  // Draws `form`'s current texts and trace as a screen of `dpi` dots per
  // inch shows them; its visibility plays no part. Raises Error 5 for a dpi
  // outside kMinDpi..kMaxDpi.
  explicit StatusImage(const frmStatus& form, double dpi = kScreenDpi);

  int Width() const { return width_; }
  int Height() const { return height_; }

  // The colour of pixel (x, y) from the top left corner, as &HBBGGRR.
  // REQUIRES: 0 <= x < Width(), 0 <= y < Height().
  Colour PixelAt(int x, int y) const;

  // The image as the bytes of a PNG file. Raises 7 when memory runs out.
  std::string Png() const;

  // Writes the image as a PNG file. `path` is replaced only once the new
  // file is complete, so a viewer that follows it during a run never reads
  // half a picture. Raises Error 75 when the file cannot be written.
  void WritePng(const std::string& path) const;

 private:
  int width_;
  int height_;
  int stride_;                 // bytes per row, with each row's padding
  std::vector<uint8_t> data_;  // one native-endian 0x00RRGGBB word per pixel
};

}  // namespace kelda::status
