// The window module's entry point.
#include "status/window_module.h"

#include "status/window_parts.h"

extern "C" __attribute__((visibility("default"))) const kelda::status::WindowModule*
kelda_window_module() {
  static const kelda::status::WindowModule module {
#if defined(KELDA_WINDOW_TOOLKIT)
    &kelda::status::NewToolkitRenderer,
#else
    nullptr,
#endif
        &kelda::status::PaintImage, &kelda::status::EncodePng,
  };
  return &module;
}
