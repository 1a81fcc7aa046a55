#include "base/checked.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "base/error.h"
#include "support/raised.h"

namespace kelda {
namespace {

using test::ErrorNumberOf;

TEST(Checked, DivisionByZeroIsError11AndZeroByZeroIsOverflow) {
  EXPECT_EQ(ErrorNumberOf([] { Div(0.0, 0.0); }), kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Div(1.0, 0.0); }), kErrDivisionByZero);
  EXPECT_EQ(ErrorNumberOf([] { Div(-1.0, -0.0); }), kErrDivisionByZero);
  EXPECT_EQ(ErrorNumberOf([] { Div(1e308, 1e-308); }), kErrOverflow);
  EXPECT_EQ(Div(1.0, 4.0), 0.25);
}

TEST(Checked, NonFiniteResultsAreOverflow) {
  EXPECT_EQ(ErrorNumberOf([] { Finite(std::numeric_limits<double>::infinity()); }), kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { Finite(std::numeric_limits<double>::quiet_NaN()); }), kErrOverflow);
  EXPECT_EQ(Finite(-0.5), -0.5);
}

TEST(Checked, IntegersNeverWrap) {
  EXPECT_EQ(ErrorNumberOf([] { Narrow<int16_t>(int32_t{32768}); }), kErrOverflow);
  EXPECT_EQ(Narrow<int16_t>(int32_t{32767}), 32767);
  EXPECT_EQ(Narrow<int16_t>(int32_t{-32768}), -32768);
  EXPECT_EQ(ErrorNumberOf([] { CheckedAdd<int32_t>(2147483647, 1); }), kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { CheckedAdd<int16_t>(32767, 1); }), kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { CheckedSub<int16_t>(-32768, 1); }), kErrOverflow);
  EXPECT_EQ(CheckedSub<int16_t>(0, 1), -1);
}

TEST(Checked, RoundingToIntegerIsHalfToEven) {
  EXPECT_EQ(RoundToInt<int16_t>(20.0), 20);
  EXPECT_EQ(RoundToInt<int16_t>(2.5), 2);
  EXPECT_EQ(RoundToInt<int16_t>(3.5), 4);
  EXPECT_EQ(RoundToInt<int16_t>(-2.5), -2);
  EXPECT_EQ(ErrorNumberOf([] { RoundToInt<int16_t>(32767.5); }), kErrOverflow);
  EXPECT_EQ(ErrorNumberOf([] { RoundToInt<int16_t>(std::numeric_limits<double>::quiet_NaN()); }),
            kErrOverflow);
}

TEST(Error, CarriesNumberAndStandardText) {
  try {
    Raise(kErrInvalidUseOfNull);
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), 94);
    EXPECT_EQ(e.Description(), "Invalid use of Null");
    EXPECT_STREQ(e.what(), "Invalid use of Null");
  }
  EXPECT_EQ(StandardErrorText(6), "Overflow");
  EXPECT_EQ(StandardErrorText(9), "Subscript out of range");
  EXPECT_EQ(StandardErrorText(11), "Division by zero");
  EXPECT_EQ(StandardErrorText(13), "Type mismatch");
}

}  // namespace
}  // namespace kelda
