// The walk over the layout as a toolkit's canvas receives it: at the
// screen's resolution, with unequal axes (as a Windows screen may report
// them) and at the extremes, which the headless image does not reach.
#include "status/drawing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace kelda::status {

// Found by the test framework through the argument's namespace.
void PrintTo(const Resolution& dpi, std::ostream* os) { *os << dpi.x << "x" << dpi.y << " dpi"; }

namespace {

constexpr Colour kBroken = 0x0000FF;

// Checks the lines, clips and texts it is given as they arrive.
class CheckingCanvas final : public Canvas {
 public:
  explicit CheckingCanvas(PixelSize client) : clips_{{0, 0, client.width, client.height}} {}

  Colour Face() const override { return 0xC0C0C0; }
  Colour Shadow() const override { return 0x808080; }
  void Fill(const PixelRect&, Colour) override {}
  void Frame(const PixelRect&, Colour) override {}
  void SunkenEdge(const PixelRect&, int, int) override {}
  void Line(PixelPoint from, PixelPoint to, Colour colour) override {
    // Within the rounding margin of the clip, so that no toolkit's integer
    // coordinates overflow.
    const PixelRect& clip = clips_.back();
    for (const PixelPoint p : {from, to}) {
      EXPECT_TRUE(p.x >= clip.left - 2 && p.x <= clip.right + 2 && p.y >= clip.top - 2 &&
                  p.y <= clip.bottom + 2)
          << p.x << ", " << p.y;
    }
    EXPECT_NE(colour, kBroken) << "a stroke with a NaN or an infinity was drawn";
    if (clips_.size() == 1) ++window_lines;
    if (colour == kGreen) ++trace_lines;
  }
  void PushClip(const PixelRect& r) override { clips_.push_back(r); }
  void PopClip() override {
    ASSERT_GT(clips_.size(), 1u);
    clips_.pop_back();
  }
  void Text(const TextBox& box) override {
    // The boxes reach a little past the client area, which the window cuts
    // off; the plot's caption must keep inside the plot.
    const PixelRect& clip = clips_.back();
    if (clips_.size() > 1) {
      EXPECT_TRUE(box.bounds.left >= clip.left && box.bounds.right <= clip.right &&
                  box.bounds.top >= clip.top && box.bounds.bottom <= clip.bottom);
    }
    texts.emplace_back(box.text);
  }

  size_t ClipDepth() const { return clips_.size(); }

  int window_lines = 0;
  int trace_lines = 0;
  std::vector<std::string> texts;

 private:
  std::vector<PixelRect> clips_;
};

class DrawingTest : public ::testing::TestWithParam<Resolution> {};

TEST_P(DrawingTest, EveryOperationStaysInsideItsClip) {
  frmStatus form;
  form.SetErrorText(0.5, {".", ","});
  form.SetCycleText(12, {".", ","});
  const float inf = std::numeric_limits<float>::infinity();
  form.DrawLine({300, 4}, {600, 4}, kGreen);
  form.DrawLine({600, 4}, {6.0e8f, 4}, kGreen);
  form.DrawLine({3000, 7}, {3000, -3.0e37f}, kGreen);
  form.DrawLine({-1.0e30f, -1.0e30f}, {-2.0e30f, 1.0e30f}, kGreen);  // wholly outside
  form.DrawLine({std::nanf(""), 4}, {600, 4}, kBroken);
  form.DrawLine({100, 4}, {inf, 4}, kBroken);
  form.DrawLine({-inf, 4}, {inf, 4}, kBroken);

  CheckingCanvas canvas(ClientPixels(GetParam()));
  DrawStatusWindow(canvas, StatusContents::Of(form), GetParam());
  EXPECT_EQ(canvas.ClipDepth(), 1u);
  EXPECT_EQ(canvas.window_lines, 1) << "Line1(18)";
  EXPECT_EQ(canvas.trace_lines, 3) << "all but the stroke wholly outside";
  EXPECT_EQ(canvas.texts,
            (std::vector<std::string>{"RMS Error", form.SSQBoxCaption(), form.CycleBoxCaption()}));
}

INSTANTIATE_TEST_SUITE_P(Resolutions, DrawingTest,
                         ::testing::Values(Resolution{kScreenDpi, kScreenDpi}, Resolution{96, 192},
                                           Resolution{144, 120}, Resolution{kMinDpi, kMinDpi},
                                           Resolution{kMaxDpi, kMaxDpi}),
                         [](const ::testing::TestParamInfo<Resolution>& info) {
                           return std::to_string(static_cast<int>(info.param.x)) + "x" +
                                  std::to_string(static_cast<int>(info.param.y));
                         });

}  // namespace
}  // namespace kelda::status
