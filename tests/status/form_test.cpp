#include "status/form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "base/error.h"
#include "status/layout.h"

namespace kelda::status {
namespace {

const NumberSeparators kEnglish{".", ","};

TEST(Layout, GridIsEvenlySpacedOnThePlot) {
  // Vertical elements by x, as (top, bottom) spans: some are short at one end
  // and only cover the full height together with another element at their x.
  std::map<Twips, std::vector<std::pair<Twips, Twips>>> vertical;
  std::set<Twips> horizontal_y;
  int in_window = 0;
  for (const LineLayout& line : kLine1) {
    EXPECT_EQ(line.colour, kHalfGreen);
    if (line.container == Container::kWindow) {
      ++in_window;
    } else if (line.x1 == line.x2) {
      vertical[line.x1].emplace_back(std::min(line.y1, line.y2), std::max(line.y1, line.y2));
    } else {
      ASSERT_EQ(line.y1, line.y2);
      horizontal_y.insert(line.y1);
      EXPECT_EQ(line.x1, 0);
      EXPECT_EQ(line.x2, 5760);
    }
  }
  EXPECT_EQ(in_window, 1);
  EXPECT_EQ(kLine1[18].container, Container::kWindow);

  std::set<Twips> vertical_x, want_x, want_y;
  for (auto& [x, spans] : vertical) {
    vertical_x.insert(x);
    std::sort(spans.begin(), spans.end());
    Twips covered = 0;
    for (const auto& [top, bottom] : spans) {
      if (top <= covered) covered = std::max(covered, bottom);
    }
    EXPECT_GE(covered, kPicError.InnerHeight()) << "x = " << x;
  }
  for (Twips t = 0; t <= 5760; t += 240) want_x.insert(t);
  for (Twips t = 240; t <= 1920; t += 240) want_y.insert(t);
  EXPECT_EQ(vertical_x, want_x);
  EXPECT_EQ(horizontal_y, want_y);
}

TEST(Form, TextsKeepTheirLeadingBlank) {
  frmStatus form;
  form.SetErrorText(0.0123456789012, kEnglish);
  form.SetCycleText(1250, kEnglish);
  EXPECT_EQ(form.SSQBoxCaption(), " RMS Error: .0123456789");
  EXPECT_EQ(form.CycleBoxCaption(), " Cycle 1,250");

  form.SetCompleteText();
  EXPECT_EQ(form.CycleBoxCaption(), " Training Complete");
  EXPECT_EQ(form.SSQBoxCaption(), " RMS Error: .0123456789");

  form.SetErrorText(3.0, {",", "."});
  form.SetCycleText(1234567, {",", "."});
  EXPECT_EQ(form.SSQBoxCaption(), " RMS Error: 3,");
  EXPECT_EQ(form.CycleBoxCaption(), " Cycle 1.234.567");
}

// Texts set from numbers in the current locale ("C" in this program): the
// last one set is what any reader sees, and a refused number changes nothing.
TEST(Form, TheLastTextSetIsShownAndARefusedNumberChangesNothing) {
  frmStatus form;
  form.SetErrorText(1.5);
  form.SetCycleText(1250);
  form.SetErrorText(0.0123456789012);
  EXPECT_THROW(form.SetErrorText(std::numeric_limits<double>::quiet_NaN()), Error);
  EXPECT_THROW(form.SetErrorText(std::numeric_limits<double>::infinity()), Error);
  EXPECT_EQ(form.SSQBoxCaption(), " RMS Error: .0123456789");
  EXPECT_EQ(form.CycleBoxCaption(), " Cycle 1,250");
  try {
    form.SetErrorText(-std::numeric_limits<double>::infinity());
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), kErrOverflow);
  }
  EXPECT_EQ(form.SSQBoxCaption(), " RMS Error: .0123456789");

  // Each kind of setter replaces what the other left, read or not.
  form.SetCycleText(7);
  form.SetCompleteText();
  EXPECT_EQ(form.CycleBoxCaption(), " Training Complete");
  form.SetCycleText(8);
  form.SetCycleText(9, kEnglish);
  form.SetErrorText(2.0);
  form.SetErrorText(0.25, kEnglish);
  EXPECT_EQ(form.CycleBoxCaption(), " Cycle 9");
  EXPECT_EQ(form.SSQBoxCaption(), " RMS Error: .25");
  form.SetCycleText(10, kEnglish);
  form.SetCycleText(1234567);
  form.SetErrorText(0.25, kEnglish);
  form.SetErrorText(12.5);
  EXPECT_EQ(form.CycleBoxCaption(), " Cycle 1,234,567");
  EXPECT_EQ(form.SSQBoxCaption(), " RMS Error: 12.5");
  EXPECT_EQ(form.SSQBoxCaption(), " RMS Error: 12.5");
}

TEST(Form, DrawingMovesThePositionAndDefaultsToTheForegroundColour) {
  frmStatus form;
  form.DrawLineTo({50, 2}, kGreen);
  form.DrawLine({80, 3}, {80, 3});
  form.DrawLineTo({110, 4});
  ASSERT_EQ(form.Trace().size(), 3u);
  EXPECT_EQ(form.Trace()[0], (Stroke{{0, 0}, {50, 2}, kGreen}));
  EXPECT_TRUE(form.Trace()[1].IsPoint());
  EXPECT_EQ(form.Trace()[1].colour, form.ForeColor());
  EXPECT_EQ(form.Trace()[2], (Stroke{{80, 3}, {110, 4}, form.ForeColor()}));
  EXPECT_EQ(form.DrawingPosition(), (Point{110, 4}));

  form.Clear();
  EXPECT_TRUE(form.Trace().empty());
  EXPECT_EQ(form.DrawingPosition(), (Point{0, 0}));
  form.DrawLineTo({50, 1}, kGreen);
  EXPECT_EQ(form.Trace().front().from, (Point{0, 0}));
}

}  // namespace
}  // namespace kelda::status
