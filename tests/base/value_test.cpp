#include "base/value.h"

#include <gtest/gtest.h>

#include "base/error.h"

namespace kelda {
namespace {

struct Conversion {
  Value value;
  int32_t error;  // 0: converts to `expected`
  double expected;
};

class ValueToDouble : public ::testing::TestWithParam<Conversion> {};

TEST_P(ValueToDouble, FollowsTheHostRules) {
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
    ::testing::Values(Conversion{Value(), 0, 0.0}, Conversion{Value(2.5), 0, 2.5},
                      Conversion{Value("  -1.25e2 "), 0, -125.0},
                      Conversion{Value("+.5"), 0, 0.5}, Conversion{Value("0.0123"), 0, 0.0123},
                      Conversion{Value::Null(), kErrInvalidUseOfNull, 0},
                      Conversion{Value("abc"), kErrTypeMismatch, 0},
                      Conversion{Value(""), kErrTypeMismatch, 0},
                      Conversion{Value("1.5x"), kErrTypeMismatch, 0},
                      Conversion{Value("inf"), kErrTypeMismatch, 0},
                      Conversion{Value("nan"), kErrTypeMismatch, 0},
                      Conversion{Value("0x1A"), kErrTypeMismatch, 0},
                      Conversion{Value("1e999"), kErrTypeMismatch, 0},
                      Conversion{Value(Value::Blob{1, 2}), kErrTypeMismatch, 0}));

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
