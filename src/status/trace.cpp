#include "status/trace.h"

#include "base/error.h"
#include "base/single.h"

namespace kelda::status {

namespace {

constexpr int32_t kWrapBeyond = 5700;
constexpr int32_t kWrapPlotX = 30;
constexpr int32_t kRowsPerSegment = 100;
constexpr int32_t kSegmentWidth = 30;
constexpr int32_t kXOffset = 50;

// The drawing operations take singles (ToSingle: beyond their range an
// overflow, as the host's conversion makes it, not an infinity).
Point TracePoint(const frmStatus& form, int32_t plot_x, double error_sum) {
  const double y = form.InnerHeight() - 4.0 * error_sum - 0.5;
  return {ToSingle(plot_x + kXOffset), ToSingle(y)};
}

}  // namespace

void TraceStep(frmStatus& form, TraceState& state, double ErrorSum) {
  state.PlotRowCount += 1;
  if (state.PlotX > kWrapBeyond) {
    state.PlotX = kWrapPlotX;
    const Point p = TracePoint(form, state.PlotX, ErrorSum);
    form.Clear();
    form.DrawLine(p, p);
  }
  if (state.PlotRowCount == kRowsPerSegment) {
    state.PlotRowCount = 0;
    form.DrawLineTo(TracePoint(form, state.PlotX, ErrorSum), kGreen);
    state.PlotX += kSegmentWidth;
  }
}

}  // namespace kelda::status
