#include "status/status_window.h"

#include <gtest/gtest.h>

#include <memory>

#include "status/headless_renderer.h"
#include "status/trace.h"

namespace kelda::status {
namespace {

const NumberSeparators kEnglish{".", ","};

class StatusWindowTest : public testing::Test {
 protected:
  StatusWindowTest() {
    auto renderer = std::make_unique<HeadlessRenderer>();
    screen_ = renderer.get();
    window_ = std::make_unique<StatusWindow>(std::move(renderer));
  }

  // Trace steps and reports of one run's pass, with a yield after each report
  // as the training run makes them.
  void Train(TraceState& trace, int examples, bool report) {
    for (int i = 1; i <= examples; ++i) {
      if (report) {
        window_->Form().SetErrorText(0.25, kEnglish);
        window_->Form().SetCycleText(1, kEnglish);
        window_->Yield();
      }
      TraceStep(window_->Form(), trace, 0.25);
    }
  }

  HeadlessRenderer* screen_;
  std::unique_ptr<StatusWindow> window_;
};

TEST_F(StatusWindowTest, ShowBeforeTrainingShowsTheDesign) {
  window_->Show();
  ASSERT_TRUE(screen_->screen().has_value());
  EXPECT_TRUE(screen_->screen()->visible);
  EXPECT_EQ(screen_->screen()->ssq_caption, "");
  EXPECT_EQ(screen_->screen()->cycle_caption, "");
  EXPECT_TRUE(screen_->screen()->trace.empty());
}

TEST_F(StatusWindowTest, TrainingWithoutShowStaysHiddenUntilShown) {
  window_->Yield();  // before the first epoch: nothing to show yet
  EXPECT_EQ(screen_->presents(), 0);
  TraceState trace;
  Train(trace, 150, true);
  EXPECT_EQ(screen_->pumps(), 151);
  window_->Form().SetCompleteText();
  EXPECT_FALSE(window_->Form().Visible());
  EXPECT_FALSE(screen_->screen()->visible);

  window_->Show();
  EXPECT_TRUE(screen_->screen()->visible);
  EXPECT_EQ(screen_->screen()->ssq_caption, " RMS Error: .25");
  EXPECT_EQ(screen_->screen()->cycle_caption, " Training Complete");
  EXPECT_EQ(screen_->screen()->trace.size(), 1u);
}

TEST_F(StatusWindowTest, ClosedWindowComesBackInDesignStateAndDrawsFromOrigin) {
  window_->Show();
  TraceState trace;
  Train(trace, 120, true);
  ASSERT_NE(window_->Form().DrawingPosition(), (Point{0, 0}));

  screen_->CloseByUser();
  window_->Yield();
  EXPECT_FALSE(screen_->screen().has_value());

  frmStatus& fresh = window_->Form();
  EXPECT_FALSE(fresh.Visible());
  EXPECT_EQ(fresh.SSQBoxCaption(), "");
  EXPECT_EQ(fresh.CycleBoxCaption(), "");
  EXPECT_TRUE(fresh.Trace().empty());
  EXPECT_EQ(fresh.DrawingPosition(), (Point{0, 0}));

  // The run goes on: its next segment starts from the new window's corner.
  Train(trace, 80, false);
  ASSERT_EQ(window_->Form().Trace().size(), 1u);
  EXPECT_EQ(window_->Form().Trace()[0].from, (Point{0, 0}));
  EXPECT_EQ(window_->Form().Trace()[0].to.x, 80.0f);

  window_->Form().SetCompleteText();
  window_->Show();
  EXPECT_TRUE(screen_->screen()->visible);
  EXPECT_EQ(screen_->screen()->ssq_caption, "");
  EXPECT_EQ(screen_->screen()->cycle_caption, " Training Complete");
}

TEST_F(StatusWindowTest, CloseAfterTheRunIsSeenByTheNextUse) {
  window_->Show();
  window_->Form().SetCycleText(3, kEnglish);
  screen_->CloseByUser();  // while the host's own message loop runs
  EXPECT_EQ(window_->Form().CycleBoxCaption(), "");
  window_->Show();
  EXPECT_TRUE(screen_->screen()->visible);
}

}  // namespace
}  // namespace kelda::status
