// The Cairo canvas: draws frmStatus's client area (status/drawing.h) with
// Cairo and Pango. Both the window on Linux desktops and the in-memory image
// (status/status_image.h) use it, so a picture file shows what the screen
// shows.
#pragma once

#include <cairo.h>

#include "status/drawing.h"

namespace kelda::status {

// Paints the whole client area onto `cr`, whose user space must be pixels
// from the client area's top left corner. Leaves `cr`'s state as it was.
// REQUIRES: kMinDpi <= dpi <= kMaxDpi.
void PaintStatusWindow(cairo_t* cr, const StatusContents& contents, double dpi);

}  // namespace kelda::status
