// The status window drawn headless: real pixels of the painter's image and
// of the PNG files written from it.
#include "status/status_image.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "base/error.h"
#include "status/trace.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda::status {
namespace {

const NumberSeparators kEnglish{".", ","};

// At 96 dpi: 15 twips a pixel, picError's inner surface 2 pixels in.
constexpr int kInner = 2;
int ColumnOf(double x) { return kInner + static_cast<int>(std::lround(x / 15.0)); }
int RowOf(double y) { return kInner + static_cast<int>(std::lround(y * 211.5 / 15.0)); }

// Text is &H00C000, brighter than the grid it may lie on.
bool AnyTextIn(const StatusImage& image, int left, int top, int right, int bottom) {
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      if (((image.PixelAt(x, y) >> 8) & 0xFF) > 0x80) return true;
    }
  }
  return false;
}

int CountOf(const StatusImage& image, Colour c) {
  int n = 0;
  for (int y = 0; y < image.Height(); ++y) {
    for (int x = 0; x < image.Width(); ++x) n += image.PixelAt(x, y) == c;
  }
  return n;
}

struct DesignPixel {
  const char* name;
  int x;
  int y;
  Colour colour;
};

std::ostream& operator<<(std::ostream& os, const DesignPixel& p) { return os << p.name; }

class DesignPixelTest : public ::testing::TestWithParam<DesignPixel> {};

TEST_P(DesignPixelTest, Colour) {
  const frmStatus form;
  const StatusImage image(form);
  EXPECT_EQ(image.PixelAt(GetParam().x, GetParam().y), GetParam().colour);
}

INSTANTIATE_TEST_SUITE_P(
    Grid, DesignPixelTest,
    ::testing::Values(
        DesignPixel{"VerticalAt0", kInner, 40, kHalfGreen},
        DesignPixel{"VerticalAt240", kInner + 16, 40, kHalfGreen},
        DesignPixel{"VerticalsReachTheBottom", kInner + 160, kInner + 140, kHalfGreen},
        DesignPixel{"HorizontalAt1920", 40, kInner + 128, kHalfGreen},
        DesignPixel{"HorizontalsReachTheRightEdge", kInner + 380, kInner + 128, kHalfGreen},
        DesignPixel{"BetweenLines", kInner + 8, kInner + 8, kBlack},
        DesignPixel{"RightOfTheLastVertical", kInner + 376, 40, kBlack},
        // The vertical at 5760 lies beyond the inner surface's 5715 twips.
        DesignPixel{"NoLineOnTheRightBorder", 383, 40, 0xDFDFDF},
        // Line1(18) runs along the window's top, under picError's border.
        DesignPixel{"Line18Hidden", 40, 0, 0x808080},
        DesignPixel{"EmptyCycleBox", 300, 153, kBlack}),
    [](const ::testing::TestParamInfo<DesignPixel>& info) { return std::string(info.param.name); });

TEST(StatusImage, SizeFollowsTheResolution) {
  const frmStatus form;
  const StatusImage screen(form);
  EXPECT_EQ(screen.Width(), 385);
  EXPECT_EQ(screen.Height(), 162);
  const StatusImage doubled(form, 192.0);
  EXPECT_EQ(doubled.Width(), 770);
  EXPECT_EQ(doubled.Height(), 324);
  EXPECT_EQ(doubled.PixelAt(4 + 32, 80), kHalfGreen);
  EXPECT_EQ(doubled.PixelAt(4 + 24, 80), kBlack);

  for (double dpi : {0.0, 10.0, 5000.0, std::nan("")}) {
    EXPECT_EQ(test::ErrorNumberOf([&] { StatusImage(form, dpi); }), 5) << dpi;
  }
}

TEST(StatusImage, TextsAppearInTheirBoxes) {
  frmStatus form;
  const int caption_right = 383;
  EXPECT_TRUE(AnyTextIn(StatusImage(form), kInner + 321, kInner, caption_right, kInner + 15))
      << "Label1 is there from the start";
  form.SetErrorText(0.0123456789012, kEnglish);
  const StatusImage error(form);
  EXPECT_TRUE(AnyTextIn(error, 1, 145, 192, 161));
  EXPECT_FALSE(AnyTextIn(error, 194, 145, 384, 161));
  form.SetCycleText(1250, kEnglish);
  EXPECT_TRUE(AnyTextIn(StatusImage(form), 194, 145, 384, 161));
}

TEST(StatusImage, TraceSegmentsInTheirColour) {
  frmStatus form;
  form.DrawLine({300, 4}, {600, 4}, kGreen);  // a row, 56.4 pixels down
  form.DrawLine({700, 6}, {900, 6});          // in the foreground colour
  form.DrawLine({1500, 1}, {1500, 1}, kGreen);
  const StatusImage image(form);
  EXPECT_EQ(image.PixelAt(ColumnOf(300), RowOf(4)), kGreen);
  EXPECT_EQ(image.PixelAt(ColumnOf(450), RowOf(4)), kGreen);
  EXPECT_EQ(image.PixelAt(ColumnOf(600), RowOf(4)), kGreen);
  EXPECT_EQ(image.PixelAt(ColumnOf(450), RowOf(4) - 1), kBlack);
  EXPECT_EQ(image.PixelAt(ColumnOf(450), RowOf(4) + 1), kBlack);
  EXPECT_EQ(image.PixelAt(ColumnOf(300) - 1, RowOf(4)), kBlack);
  EXPECT_EQ(image.PixelAt(ColumnOf(800), RowOf(6)), kBlack) << "black on black";
  EXPECT_EQ(image.PixelAt(ColumnOf(1500), RowOf(1)), kGreen) << "a point is one pixel";
  EXPECT_EQ(CountOf(image, kGreen), (ColumnOf(600) - ColumnOf(300) + 1) + 1);
}

// A sum in the millions puts a point tens of millions of pixels off the
// plot; what shows must be exactly the part inside it. A NaN, which only a
// caller of DrawLine can bring, must not stop the rest from being drawn.
TEST(StatusImage, StrokesFarOutsideAreClippedNotWrappedAndNaNsSkipped) {
  frmStatus far;
  far.DrawLine({std::nanf(""), 4}, {600, 4}, kGreen);
  far.DrawLine({600, 4}, {6.0e8f, 4}, kGreen);
  far.DrawLine({3000, 7}, {3000, -3.0e37f}, kGreen);
  far.DrawLine({-1.0e30f, -1.0e30f}, {-2.0e30f, 1.0e30f}, kGreen);
  frmStatus near;
  near.DrawLine({600, 4}, {5800, 4}, kGreen);
  near.DrawLine({3000, 7}, {3000, -1}, kGreen);
  const StatusImage far_image(far);
  const StatusImage near_image(near);
  for (int y = 0; y < near_image.Height(); ++y) {
    for (int x = 0; x < near_image.Width(); ++x) {
      ASSERT_EQ(far_image.PixelAt(x, y), near_image.PixelAt(x, y)) << x << ", " << y;
    }
  }
  EXPECT_EQ(far_image.PixelAt(382, RowOf(4)), kGreen);
  EXPECT_NE(far_image.PixelAt(383, RowOf(4)), kGreen);
  EXPECT_EQ(far_image.PixelAt(ColumnOf(3000), kInner), kGreen);
}

TEST(StatusImage, TraceClearsAndRestartsAtEightyAfterAFullPlot) {
  frmStatus form;
  TraceState state;
  // 191 segments at a sum of 0.5 (y = 7.5), the last at x = 5750.
  for (int i = 0; i < 19100; ++i) TraceStep(form, state, 0.5);
  const StatusImage full(form);
  EXPECT_EQ(full.PixelAt(ColumnOf(5000), RowOf(7.5)), kGreen);
  EXPECT_EQ(full.PixelAt(ColumnOf(200), RowOf(7.5)), kGreen);

  // The next example clears the plot and puts the drawing position at
  // (80, 7.5); 99 more at a sum of 1.5 draw the first segment, upright at
  // x = 80, up to y = 3.5.
  TraceStep(form, state, 0.5);
  const StatusImage cleared(form);
  EXPECT_EQ(CountOf(cleared, kGreen), 0);
  for (int i = 0; i < 99; ++i) TraceStep(form, state, 1.5);
  const StatusImage restarted(form);
  EXPECT_EQ(restarted.PixelAt(ColumnOf(80), RowOf(3.5)), kGreen);
  EXPECT_EQ(restarted.PixelAt(ColumnOf(80), RowOf(5.5)), kGreen);
  EXPECT_EQ(restarted.PixelAt(ColumnOf(80), RowOf(7.5)), kGreen);
  EXPECT_EQ(restarted.PixelAt(ColumnOf(5000), RowOf(7.5)), kBlack);
  EXPECT_EQ(CountOf(restarted, kGreen), RowOf(7.5) - RowOf(3.5) + 1);
}

TEST(StatusImage, PngFileHoldsTheSamePixels) {
  test::TempDb dir;
  frmStatus form;
  form.SetCycleText(7, kEnglish);
  form.DrawLine({300, 4}, {600, 4}, kGreen);
  const StatusImage image(form);
  const std::string path = dir.WriteFile("status.png", "an older file");
  image.WritePng(path);

  cairo_surface_t* read = cairo_image_surface_create_from_png(path.c_str());
  ASSERT_EQ(cairo_surface_status(read), CAIRO_STATUS_SUCCESS);
  ASSERT_EQ(cairo_image_surface_get_width(read), image.Width());
  ASSERT_EQ(cairo_image_surface_get_height(read), image.Height());
  int differing = 0;
  for (int y = 0; y < image.Height(); ++y) {
    for (int x = 0; x < image.Width(); ++x) {
      uint32_t word;  // 0x00RRGGBB
      std::memcpy(
          &word,
          cairo_image_surface_get_data(read) + y * cairo_image_surface_get_stride(read) + x * 4, 4);
      differing +=
          ((word & 0xFF) << 16 | (word & 0xFF00) | (word >> 16 & 0xFF)) != image.PixelAt(x, y);
    }
  }
  cairo_surface_destroy(read);
  EXPECT_EQ(differing, 0);

  // A file that cannot be written leaves nothing behind, not even a part.
  for (const std::string& bad : {dir.File("missing/status.png"), dir.dir()}) {
    const std::optional<Error> e = test::RaisedBy([&] { image.WritePng(bad); });
    ASSERT_TRUE(e.has_value()) << bad;
    EXPECT_EQ(e->Number(), 75);
    EXPECT_NE(e->Description().find(bad), std::string::npos) << e->Description();
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.dir()), {}), 2)
      << "test.db and status.png";
}

}  // namespace
}  // namespace kelda::status
