// Sigmoid's values and its overflow guard; ForwardPass on small nets and its
// index checks.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "base/error.h"
#include "engine/engine.h"
#include "support/number_text.h"
#include "support/raised.h"

namespace kelda::engine {
namespace {

using test::ErrorNumberOf;

struct SigmoidCase {
  double x, temperature, expected;
};

using test::NamePart;
using test::Text;

void PrintTo(const SigmoidCase& c, std::ostream* os) {
  *os << "x " << Text(c.x) << ", T " << Text(c.temperature) << " -> " << Text(c.expected);
}

class SigmoidValue : public testing::TestWithParam<SigmoidCase> {};

TEST_P(SigmoidValue, MatchesToTheBit) {
  NetworkState net;
  ClassInitialize(net);
  double value = GetParam().x;
  Sigmoid(net, value, GetParam().temperature);
  EXPECT_EQ(value, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Inputs, SigmoidValue,
                         testing::Values(SigmoidCase{0.0, 1.0, 0.5}, SigmoidCase{0.0, 5.0, 0.5},
                                         SigmoidCase{2.0, 2.0, 0.7310585786300049},
                                         SigmoidCase{5.0, 5.0, 0.7310585786300049},
                                         SigmoidCase{-4.0, 2.0, 0.11920292202211755},
                                         SigmoidCase{1.0, 2.0, 0.6224593312018546},
                                         SigmoidCase{2.5, 5.0, 0.6224593312018546},
                                         SigmoidCase{-1500.0, 2.0, 0.0},
                                         SigmoidCase{1500.0, 2.0, 1.0},
                                         // Either side of the guard at z = 709.782712893384.
                                         SigmoidCase{-709.79, 1.0, 0.0},
                                         SigmoidCase{-709.78, 1.0, 1.0 / (1.0 + std::exp(709.78))}),
                         [](const auto& info) {
                           return "X" + NamePart(info.param.x) + "_T" +
                                  NamePart(info.param.temperature);
                         });

// A 1-2-1 net with every entry in use set.
std::unique_ptr<NetworkState> SmallNet() {
  auto net = std::make_unique<NetworkState>();
  ClassInitialize(*net);
  net->LayerUnits(1) = 1;
  net->LayerUnits(2) = 2;
  net->LayerUnits(3) = 1;
  net->Activation(1, 1) = 0.7;
  for (int layer = 2; layer <= 3; ++layer) {
    for (int j = 1; j <= 2; ++j) {
      net->Bias(j, layer) = 0.1 * j - 0.25;
      net->Temperature(j, layer) = 2.0;
      for (int i = 1; i <= 2; ++i) net->Weight(i, j, layer) = 0.3 * i - 0.2 * j;
    }
  }
  return net;
}

double SigmoidOf(const NetworkState& net, double x, int j, int layer) {
  Sigmoid(net, x, net.Temperature(j, layer));
  return x;
}

TEST(ForwardPass, SmallNetsAndEmptyLayers) {
  auto net = SmallNet();
  net->LayerUnits(2) = 0;  // the output's net input is its bias alone
  ForwardPass(*net);
  EXPECT_EQ(net->Activation(1, 3), SigmoidOf(*net, net->Bias(1, 3), 1, 3));

  net = SmallNet();
  net->Weight.Fill(0.0);  // each hidden unit yields its bias, whatever the input
  ForwardPass(*net);
  EXPECT_EQ(net->Activation(2, 2), SigmoidOf(*net, net->Bias(2, 2), 2, 2));

  net = SmallNet();
  net->LayerUnits(2) = 1;
  net->Activation(1, 1) = 0.0;
  net->Weight(1, 1, 2) = 1.0;
  net->Bias(1, 2) = 0.0;
  net->Temperature(1, 2) = 1.0;
  ForwardPass(*net);
  EXPECT_EQ(net->Activation(1, 2), 0.5);

  net = std::make_unique<NetworkState>();
  net->CurrentPattern = 6000;  // all layers empty: no index is examined
  EXPECT_EQ(ErrorNumberOf([&] { ForwardPass(*net); }), 0);
}

struct IndexCase {
  int16_t pattern;
  int oversized_layer;  // given 21 units, or 0
  int32_t error;
};

void PrintTo(const IndexCase& c, std::ostream* os) {
  *os << "CurrentPattern " << c.pattern;
  if (c.oversized_layer != 0) *os << ", layer " << c.oversized_layer << " of 21 units";
  *os << " -> error " << c.error;
}

class ForwardPassIndices : public testing::TestWithParam<IndexCase> {};

TEST_P(ForwardPassIndices, AreCheckedBeforeAnyUnitChanges) {
  auto net = SmallNet();
  net->CurrentPattern = GetParam().pattern;
  if (GetParam().oversized_layer != 0) net->LayerUnits(GetParam().oversized_layer) = 21;
  net->Activation(1, 2) = 42.0;
  EXPECT_EQ(ErrorNumberOf([&] { ForwardPass(*net); }), GetParam().error);
  EXPECT_EQ(net->Activation(1, 2) == 42.0, GetParam().error != 0);
}

INSTANTIATE_TEST_SUITE_P(Limits, ForwardPassIndices,
                         testing::Values(IndexCase{0, 0, 0}, IndexCase{5000, 0, 0},
                                         IndexCase{5001, 0, kErrSubscript},
                                         IndexCase{-1, 0, kErrSubscript},
                                         IndexCase{1, 1, kErrSubscript},
                                         IndexCase{1, 3, kErrSubscript}),
                         [](const auto& info) {
                           const IndexCase& c = info.param;
                           if (c.oversized_layer != 0) {
                             return "Layer" + std::to_string(c.oversized_layer) + "Of21Units";
                           }
                           return "Pattern" + NamePart(c.pattern);
                         });

// A net input that overflows, or the NaN of a zero temperature, is never
// stored: the pass stops at that unit, the units before it keep their output.
TEST(ForwardPass, StopsAtAUnitThatIsNotFinite) {
  for (bool overflow : {true, false}) {
    auto net = SmallNet();
    if (overflow) {
      net->Activation(1, 1) = 1e300;
      net->Weight(1, 2, 2) = 1e300;
    } else {
      net->Weight(1, 2, 2) = net->Bias(2, 2) = net->Temperature(2, 2) = 0.0;
    }
    EXPECT_EQ(ErrorNumberOf([&] { ForwardPass(*net); }), kErrOverflow);
    EXPECT_GT(net->Activation(1, 2), 0.0);
    EXPECT_EQ(net->Activation(2, 2), 0.0);
    EXPECT_EQ(net->Activation(1, 3), 0.0);
  }
}

}  // namespace
}  // namespace kelda::engine
