#include "cli/progress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <sstream>
#include <string>

namespace kelda::cli {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;

struct Formatted {
  const char* name;
  ProgressSnapshot snapshot;
  int bar_width;
  const char* line;
};

void PrintTo(const Formatted& f, std::ostream* os) { *os << '"' << f.line << '"'; }

class FormatProgressTest : public ::testing::TestWithParam<Formatted> {};

TEST_P(FormatProgressTest, Line) {
  EXPECT_EQ(FormatProgress(GetParam().snapshot, GetParam().bar_width), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FormatProgressTest,
    ::testing::Values(Formatted{"Start", {0, 500, "", ""}, 10, "epoch   0/500 [..........]"},
                      Formatted{"Halfway",
                                {250, 500, "Cycle 250", "RMS Error: .5"},
                                10,
                                "epoch 250/500 [#####.....] Cycle 250  RMS Error: .5"},
                      Formatted{"Complete",
                                {500, 500, "Training Complete", ""},
                                4,
                                "epoch 500/500 [####] Training Complete"},
                      // Past the end, no epochs, negative epochs: the bar never overflows.
                      Formatted{"PastTheEnd", {7, 5, "", ""}, 4, "epoch 7/5 [####]"},
                      Formatted{"NegativeEpochs", {0, -3, "", ""}, 4, "epoch  0/-3 [####]"},
                      Formatted{"NoBar",
                                {3, 10, "Cycle 1", "RMS Error: 1.25"},
                                0,
                                "epoch  3/10 Cycle 1  RMS Error: 1.25"}),
    [](const auto& info) { return std::string(info.param.name); });

int Count(const std::string& text, char c) {
  return static_cast<int>(std::count(text.begin(), text.end(), c));
}

TEST(ProgressLines, OneLinePerReportWithItsLastErrorText) {
  std::ostringstream out;
  ProgressDisplay display(out, ProgressDisplay::Style::kLines);
  display.Update({0, 20, "", ""});
  display.Update({1, 20, "", ""});
  display.Update({1, 20, "Cycle 1", "RMS Error: .9"});
  display.Update({1, 20, "Cycle 1", "RMS Error: .8"});
  display.Update({2, 20, "Cycle 1", "RMS Error: .8"});
  display.Update({10, 20, "Cycle 10", "RMS Error: .5"});
  display.Update({10, 20, "Cycle 10", "RMS Error: .4"});
  display.Update({20, 20, "Cycle 20", "RMS Error: .2"});
  display.Finish({20, 20, "Training Complete", "RMS Error: .2"});
  EXPECT_EQ(out.str(),
            "epoch  1/20 Cycle 1  RMS Error: .8\n"
            "epoch 10/20 Cycle 10  RMS Error: .4\n"
            "epoch 20/20 Cycle 20  RMS Error: .2\n"
            "epoch 20/20 Training Complete  RMS Error: .2\n");
}

TEST(ProgressLines, AFailedRunStillLogsItsLastReport) {
  std::ostringstream out;
  ProgressDisplay display(out, ProgressDisplay::Style::kLines);
  display.Update({1, 20, "Cycle 1", "RMS Error: .9"});
  display.Abandon();
  EXPECT_EQ(out.str(), "epoch  1/20 Cycle 1  RMS Error: .9\n");
}

TEST(ProgressTerminal, RedrawsInPlaceAndEndsTheLine) {
  std::ostringstream out;
  ProgressDisplay display(out, ProgressDisplay::Style::kTerminal);
  for (int epoch = 0; epoch <= 10000; ++epoch) display.Update({epoch / 100, 100, "", ""});
  display.Finish({100, 100, "Training Complete", "RMS Error: .1"});
  const std::string text = out.str();
  EXPECT_THAT(text, StartsWith("\repoch   0/100 ["));
  EXPECT_THAT(text, EndsWith("Training Complete  RMS Error: .1\x1b[K\n"));
  EXPECT_EQ(Count(text, '\n'), 1);
  EXPECT_LT(Count(text, '\r'), 100) << "a redraw at every yield floods the terminal";
}

}  // namespace
}  // namespace kelda::cli
