#include "base/value.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "base/error.h"

namespace kelda {
namespace {

struct Conversion {
  const char* name;
  Value value;
  int32_t error;  // 0: converts to `expected`
  double expected;
};

void PrintTo(const Conversion& c, std::ostream* os) {
  *os << c.value.Describe() << " -> ";
  if (c.error == 0) {
    *os << c.expected;
  } else {
    *os << "error " << c.error;
  }
}

class ValueToDouble : public ::testing::TestWithParam<Conversion> {};

TEST_P(ValueToDouble, GivesTheNumberOrRaisesItsError) {
  const Conversion& c = GetParam();
  if (c.error == 0) {
    EXPECT_EQ(c.value.ToDouble(), c.expected);
    return;
  }
  try {
    c.value.ToDouble();
    FAIL() << "no error for " << c.value.Describe();
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), c.error) << c.value.Describe();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ValueToDouble,
    ::testing::Values(Conversion{"Empty", Value(), 0, 0.0},
                      Conversion{"Number", Value(2.5), 0, 2.5},
                      Conversion{"TextWithBlanksAndExponent", Value("  -1.25e2 "), 0, -125.0},
                      Conversion{"TextWithSignAndNoLeadingDigit", Value("+.5"), 0, 0.5},
                      Conversion{"SmallDecimalText", Value("0.0123"), 0, 0.0123},
                      Conversion{"Null", Value::Null(), kErrInvalidUseOfNull, 0},
                      Conversion{"Word", Value("abc"), kErrTypeMismatch, 0},
                      Conversion{"EmptyText", Value(""), kErrTypeMismatch, 0},
                      Conversion{"TrailingLetter", Value("1.5x"), kErrTypeMismatch, 0},
                      Conversion{"InfinityText", Value("inf"), kErrTypeMismatch, 0},
                      Conversion{"NaNText", Value("nan"), kErrTypeMismatch, 0},
                      Conversion{"HexText", Value("0x1A"), kErrTypeMismatch, 0},
                      Conversion{"PlusThenMinus", Value("+-1"), kErrTypeMismatch, 0},
                      Conversion{"TwoPluses", Value("++1"), kErrTypeMismatch, 0},
                      Conversion{"BeyondADouble", Value("1e999"), kErrTypeMismatch, 0},
                      Conversion{"Blob", Value(Value::Blob{1, 2}), kErrTypeMismatch, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Value, KindsAndEquality) {
  EXPECT_TRUE(Value().IsEmpty());
  EXPECT_TRUE(Value::Null().IsNull());
  EXPECT_EQ(Value(1.0), Value(1.0));
  EXPECT_NE(Value(1.0), Value("1"));
  EXPECT_NE(Value(), Value::Null());
  EXPECT_EQ(Value("x").kind(), Value::Kind::kText);
}

}  // namespace
}  // namespace kelda
