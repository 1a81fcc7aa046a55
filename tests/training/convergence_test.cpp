#include <gtest/gtest.h>

#include <charconv>
#include <ostream>
#include <string>

#include "training/training_run.h"

namespace kelda::training {
namespace {

struct Sum {
  const char* name;
  double error_sum;
  bool converged;
};

void PrintTo(const Sum& s, std::ostream* os) {
  char text[32];
  *os << std::string(text, std::to_chars(text, text + sizeof text, s.error_sum).ptr)
      << (s.converged ? " converged" : " not converged");
}

class ConvergedTest : public ::testing::TestWithParam<Sum> {};

TEST_P(ConvergedTest, SumBelowTheBoundAtFifteenDigits) {
  EXPECT_EQ(Converged(GetParam().error_sum), GetParam().converged) << GetParam().error_sum;
}

INSTANTIATE_TEST_SUITE_P(
    Sums, ConvergedTest,
    ::testing::Values(Sum{"Zero", 0.0, true}, Sum{"Half", 0.5, false},
                      Sum{"BelowInFixedNotation", 0.000812345678901, true},
                      Sum{"AboveInFixedNotation", 0.00095, false}, Sum{"TheBound", 0.0009, false},
                      Sum{"JustBelowIn14Digits", 0.00089999999999999, true},
                      Sum{"JustBelowIn15Digits", 0.000899999999999999, true},
                      Sum{"RoundsToTheBound", 0.0008999999999999999,
                          false},  // 15 digits make it 0.0009
                      // Far below the bound in exponent notation: converged, not an error.
                      Sum{"ManyDigitExponentNotation", 8.12345678901234E-05, true},
                      Sum{"OneDigitExponentNotation", 8E-05, true},
                      Sum{"ExponentNotationCutAtItsSign", 1.125E-05, true},
                      Sum{"Tiny", 1e-300, true}, Sum{"One", 1.0, false},
                      Sum{"Large", 12345.0, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelda::training
