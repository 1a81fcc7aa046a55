// e^x on vectors must give exactly what std::exp gives, lane by lane, or the
// trained weights would differ in their last bits between machines.

#include "engine/vector_math.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace kelda::engine::vec {
namespace {

void ExpectSameAsStdExp(const std::vector<double>& x, int lanes) {
  std::vector<double> y = x;
  ExpEach(y, lanes);
  for (size_t i = 0; i < x.size(); ++i) {
    const double expected = std::exp(x[i]);
    if (std::isnan(expected)) {
      ASSERT_TRUE(std::isnan(y[i])) << std::hexfloat << x[i];
    } else {
      ASSERT_EQ(std::bit_cast<uint64_t>(y[i]), std::bit_cast<uint64_t>(expected))
          << std::hexfloat << x[i] << " at " << i;
    }
  }
}

class WideExp : public testing::TestWithParam<int> {};

// Net inputs over a temperature: mostly within a few dozen of zero, and the
// whole range of doubles now and then.
TEST_P(WideExp, RandomArgumentsAgreeToTheBit) {
  std::mt19937_64 random(GetParam());
  std::uniform_real_distribution<double> near(-50.0, 50.0), far(-800.0, 800.0);
  std::vector<double> x(1 << 20);
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = i % 16 == 0 ? std::bit_cast<double>(random()) : i % 4 == 0 ? far(random) : near(random);
  }
  ExpectSameAsStdExp(x, GetParam());
}

// Each special argument at every lane of a vector, among ordinary ones, and
// the arguments that reach each table entry.
TEST_P(WideExp, SpecialArgumentsInEveryLane) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> x;
  for (double special : {0.0, -0.0, 0x1p-54, -0x1p-54, 0x1p-55, 0x1p-1074, 511.999, 512.0, -512.0,
                         709.782712893384, 709.782712893385, -745.1332191019411, -745.14, -708.4,
                         1e308, -1e308, inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
    for (int lane = 0; lane < 8; ++lane) {
      for (int k = 0; k < 8; ++k) x.push_back(k == lane ? special : 0.25 * k - 1.0);
    }
  }
  for (int k = -128 * 20; k <= 128 * 20; ++k) {
    x.push_back(k * 0x1.62e42fefa39efp-8);
    x.push_back(std::nextafter(x.back(), inf));
  }
  ExpectSameAsStdExp(x, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Lanes, WideExp, testing::Values(2, 4));

#if defined(__x86_64__) && defined(__GLIBC__)
// Where the processor has the instructions, the vectors are in use: a
// different C library's exp would turn them off and cost a third of the
// forward pass.
TEST(WideExp, InUseWithThisCLibrary) {
  if (!HasQuads()) GTEST_SKIP() << "no AVX2 and FMA";
  EXPECT_TRUE(WideExpAgrees());
}
#endif

}  // namespace
}  // namespace kelda::engine::vec
