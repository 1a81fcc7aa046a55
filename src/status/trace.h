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

// Advances the trace by one example whose epoch has summed ErrorSum so far.
// Every example counts towards the next segment. Once the trace has passed
// x = 5700 it starts again from the left: PlotX goes back to 30, picError is
// cleared and a point is drawn at (PlotX + 50, H - 4 * ErrorSum - 0.5) in the
// foreground colour, leaving the drawing position there. Every hundredth
// example the count starts over, a kGreen line goes from the drawing position
// to (PlotX + 50, H - 4 * ErrorSum - 0.5), and PlotX moves on by 30.
// H is read from `form` for each point; y is computed in double precision and
// handed over, like x, in single precision. Raises Error 6 when y lies beyond
// the single range; nothing has been drawn by that step then.
void TraceStep(frmStatus& form, TraceState& state, double ErrorSum);

}  // namespace kelda::status
