// The window module's parts, as its entry point hands them out (see
// status/window_module.h for their contracts).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "status/drawing.h"
#include "status/renderer.h"

namespace kelda::status {

// The window toolkit's renderer (renderer_gtk.cpp); absent from a build
// without one.
std::unique_ptr<Renderer> NewToolkitRenderer();

// Cairo's side of a status image (status_image_cairo.cpp).
void PaintImage(const StatusContents& contents, double dpi, int width, int height, int& stride,
                std::vector<uint8_t>& pixels);
std::string EncodePng(const std::vector<uint8_t>& pixels, int width, int height, int stride);

}  // namespace kelda::status
