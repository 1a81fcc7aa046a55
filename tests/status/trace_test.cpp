#include "status/trace.h"

#include <gtest/gtest.h>

#include "base/error.h"

namespace kelda::status {
namespace {

// The error sum after each step: distinct per step, so every stroke's y
// tells which step drew it.
double SumAt(int step) { return 0.001 * step; }
float YFor(double sum) { return static_cast<float>(10.0 - 4.0 * sum - 0.5); }

void Steps(frmStatus& form, TraceState& state, int first_step, int steps) {
  for (int s = first_step; s < first_step + steps; ++s) TraceStep(form, state, SumAt(s));
}

TEST(Trace, FirstSegmentAtTheTenthExampleOfTheFourthEpoch) {
  frmStatus form;
  TraceState state;
  constexpr int kExamplesPerEpoch = 30;
  Steps(form, state, 1, 3 * kExamplesPerEpoch + 9);
  EXPECT_TRUE(form.Trace().empty());
  Steps(form, state, 100, 1);
  ASSERT_EQ(form.Trace().size(), 1u);
  // From the top left corner of a new window.
  EXPECT_EQ(form.Trace()[0], (Stroke{{0, 0}, {50, YFor(SumAt(100))}, kGreen}));
}

TEST(Trace, FillsTheWidthThenWrapsAround) {
  frmStatus form;
  TraceState state;
  Steps(form, state, 1, 191 * 100);
  ASSERT_EQ(form.Trace().size(), 191u);
  for (size_t i = 1; i < form.Trace().size(); ++i) {
    EXPECT_EQ(form.Trace()[i].from, form.Trace()[i - 1].to);
    EXPECT_EQ(form.Trace()[i].to, (Point{50.0f + 30.0f * static_cast<float>(i),
                                         YFor(SumAt(100 * (static_cast<int>(i) + 1)))}));
  }

  // The next example clears the plot and leaves only an invisible point at 80.
  Steps(form, state, 19101, 1);
  const Point wrap{80, YFor(SumAt(19101))};
  ASSERT_EQ(form.Trace().size(), 1u);
  EXPECT_EQ(form.Trace()[0], (Stroke{wrap, wrap, form.ForeColor()}));

  // The first segment after it is vertical, at x = 80.
  Steps(form, state, 19102, 99);
  ASSERT_EQ(form.Trace().size(), 2u);
  EXPECT_EQ(form.Trace()[1], (Stroke{wrap, {80, YFor(SumAt(19200))}, kGreen}));
}

TEST(Trace, WrapAndSegmentInOneStep) {
  frmStatus form;
  TraceState state{5710, 99};
  TraceStep(form, state, 0.0);
  ASSERT_EQ(form.Trace().size(), 2u);
  EXPECT_EQ(form.Trace()[1], (Stroke{{80, 9.5f}, {80, 9.5f}, kGreen}));
  EXPECT_EQ(state.PlotX, 60);
}

TEST(Trace, HeightOfTheSum) {
  for (auto [sum, y] : {std::pair{0.0, 9.5f}, {0.25, 8.5f}, {2.375, 0.0f}, {2.5, -0.5f}}) {
    frmStatus form;
    TraceState state{0, 99};
    TraceStep(form, state, sum);
    ASSERT_EQ(form.Trace().size(), 1u);
    EXPECT_EQ(form.Trace()[0].to.y, y) << sum;
  }
  frmStatus form;
  TraceState state{0, 99};
  EXPECT_THROW(TraceStep(form, state, 1e300), Error);  // y beyond single range
  EXPECT_TRUE(form.Trace().empty());
}

TEST(Trace, NextRunContinuesFromTheLastPosition) {
  frmStatus form;
  TraceState first, second;
  Steps(form, first, 1, 250);
  const Point end = form.DrawingPosition();
  Steps(form, second, 1, 100);
  ASSERT_EQ(form.Trace().size(), 3u);
  EXPECT_EQ(form.Trace()[2].from, end);
  EXPECT_EQ(form.Trace()[2].to.x, 50.0f);
}

}  // namespace
}  // namespace kelda::status
