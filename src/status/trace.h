// The error trace: one green segment per 100 examples across picError,
// starting over from the left once the plot is full.
#pragma once

#include <cstdint>

#include "status/form.h"

namespace kelda::status {

// Kept by one training run, both 0 when the run begins.
struct TraceState {
  int32_t PlotX = 0;         // x of the next trace point, less 50
  int32_t PlotRowCount = 0;  // examples since the last segment
};

// Advances the trace by one example whose epoch has summed ErrorSum so far:
//   1. PlotRowCount += 1.
//   2. If PlotX > 5700: PlotX := 30, clear picError, and draw a point at
//      (PlotX + 50, H - 4 * ErrorSum - 0.5) in the foreground colour, which
//      leaves the drawing position there.
//   3. If PlotRowCount = 100: PlotRowCount := 0, a line from the drawing
//      position to (PlotX + 50, H - 4 * ErrorSum - 0.5) in kGreen, and
//      PlotX += 30.
// H is read from `form` for each point; y is computed in double precision and
// handed over, like x, in single precision. Raises Error 6 when y lies beyond
// the single range; nothing has been drawn by that step then.
void TraceStep(frmStatus& form, TraceState& state, double ErrorSum);

}  // namespace kelda::status
