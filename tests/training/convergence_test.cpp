#include <gtest/gtest.h>

#include "training/training_run.h"

namespace kelda::training {
namespace {

struct Sum {
  double error_sum;
  bool converged;
};

class ConvergedTest : public ::testing::TestWithParam<Sum> {};

TEST_P(ConvergedTest, SumBelowTheBoundAtFifteenDigits) {
  EXPECT_EQ(Converged(GetParam().error_sum), GetParam().converged) << GetParam().error_sum;
}

INSTANTIATE_TEST_SUITE_P(
    Sums, ConvergedTest,
    ::testing::Values(Sum{0.0, true}, Sum{0.5, false}, Sum{0.000812345678901, true},
                      Sum{0.00095, false}, Sum{0.0009, false}, Sum{0.00089999999999999, true},
                      Sum{0.000899999999999999, true},
                      Sum{0.0008999999999999999, false},  // 15 digits make it 0.0009
                      // Far below the bound in exponent notation: converged, not an error.
                      Sum{8.12345678901234E-05, true}, Sum{8E-05, true}, Sum{1.125E-05, true},
                      Sum{1e-300, true}, Sum{1.0, false}, Sum{12345.0, false}));

}  // namespace
}  // namespace kelda::training
