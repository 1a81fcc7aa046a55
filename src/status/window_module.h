// The window module: what of the status window needs the window toolkit and
// the drawing library (GTK, Cairo, Pango), built as a library of its own,
// libkelda-window. Those libraries take longer to load than a whole short
// run takes to set up, so a process loads the module only when it first
// shows a window or draws a picture: a run that does neither never loads
// them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "status/drawing.h"
#include "status/renderer.h"

namespace kelda::status {

// What the module offers. Each function raises Error as the code it wraps
// does.
struct WindowModule {
  // A renderer of the window toolkit (see NewPlatformRenderer); null in a
  // build without one.
  std::unique_ptr<Renderer> (*new_renderer)();
  // Paints `contents` as a screen of `dpi` dots per inch shows them into an
  // image of width x height pixels: sets `stride` (bytes per row) and fills
  // `pixels` with one native-endian 0x00RRGGBB word per pixel.
  void (*paint)(const StatusContents& contents, double dpi, int width, int height, int& stride,
                std::vector<uint8_t>& pixels);
  // Such an image as the bytes of a PNG file. Raises 7 when Cairo runs out
  // of memory.
  std::string (*png)(const std::vector<uint8_t>& pixels, int width, int height, int stride);
};

// The module, loaded by the first call in the process (see
// base/module_loader.h); null when it cannot be loaded, with `why` (when
// given) saying why. Thread-safe.
const WindowModule* LoadWindowModule(std::string* why = nullptr);

// The module's file name, for messages.
inline constexpr const char* kWindowModuleName = "libkelda-window.so.1";

}  // namespace kelda::status

// The module's one entry point, found by name.
extern "C" const kelda::status::WindowModule* kelda_window_module();
