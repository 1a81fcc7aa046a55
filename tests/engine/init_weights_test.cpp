// The random source and weight initialisation.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "engine/engine.h"
#include "engine/random_source.h"

namespace kelda::engine {
namespace {

// Golden draws: a change to the generator, and with it to every fixed-seed
// run, shows here first. They are the top 24 bits of splitmix64's first
// outputs for seed 1 (0x910a2dec89025cc1, ...).
TEST(RandomSource, ASeedGivesTheSameDraws) {
  const auto draw = [](int32_t k) { return static_cast<float>(k) * 0x1p-24f; };
  RandomSource r;
  r.Seed(1);
  EXPECT_EQ(r.Next(), draw(0x910a2d));
  EXPECT_EQ(r.Next(), draw(12512141));
  EXPECT_EQ(r.Next(), draw(16290722));
  r.Seed(1);
  EXPECT_EQ(r.Next(), draw(0x910a2d));
}

std::unique_ptr<NetworkState> SentinelNet(double sentinel, uint64_t seed) {
  auto net = std::make_unique<NetworkState>();
  ClassInitialize(*net);
  net->Weight.Fill(sentinel);
  for (auto* t : {&net->WeightSlope, &net->WeightStep}) t->Fill(sentinel);
  for (auto* t : {&net->Activation, &net->Bias, &net->Temperature, &net->BiasSlope, &net->BiasStep,
                  &net->UnitError, &net->UnitDelta}) {
    t->Fill(sentinel);
  }
  net->FixedSeed = seed;
  return net;
}

// Every unit 1..20 of layers 1..3, whatever LayerUnits says, draws its bias
// and then its 20 incoming weights; unit 0, layer 0 and the unit values are
// left alone. Each call re-seeds, so a fixed seed gives the same start every
// time.
TEST(InitWeights, DrawsUnitByUnitLayerByLayerAndWritesNothingElse) {
  auto net = SentinelNet(9.0, 77);
  InitWeights(*net);
  net->Weight(1, 1, 1) = 9.0;
  InitWeights(*net);
  RandomSource r;
  r.Seed(77);
  const double bias_span = 0.4f;  // 0.2f - -0.2f, stored as a single
  for (int i = 1; i <= 20; ++i) {
    for (int layer = 1; layer <= 3; ++layer) {
      const double bias = net->Bias(i, layer);
      ASSERT_EQ(bias, double{r.Next()} * bias_span + double{-0.2f});
      ASSERT_TRUE(bias >= -0.2f && bias < 0.2f);
      for (int k = 1; k <= 20; ++k) {
        const double weight = net->Weight(k, i, layer);
        ASSERT_EQ(weight, double{r.Next()} * 0.5 + -0.25);
        ASSERT_TRUE(weight >= -0.25 && weight < 0.25);
      }
    }
  }
  for (int layer = 0; layer <= 3; ++layer) {
    for (int i = 0; i <= 20; ++i) {
      const double unit = layer >= 1 && i >= 1 ? 0.0 : 9.0;  // 9: not written
      EXPECT_EQ(net->Temperature(i, layer), unit == 0.0 ? 5.0 : 9.0);
      EXPECT_EQ(net->BiasSlope(i, layer), unit);
      EXPECT_EQ(net->BiasStep(i, layer), unit);
      if (unit == 9.0) {
        EXPECT_EQ(net->Bias(i, layer), 9.0);
      }
      EXPECT_EQ(net->Activation(i, layer), 9.0);
      EXPECT_EQ(net->UnitError(i, layer), 9.0);
      EXPECT_EQ(net->UnitDelta(i, layer), 9.0);
      for (int k = 0; k <= 20; ++k) {
        const double connection = k >= 1 ? unit : 9.0;
        EXPECT_EQ(net->WeightSlope(k, i, layer), connection);
        EXPECT_EQ(net->WeightStep(k, i, layer), connection);
        if (connection == 9.0) {
          EXPECT_EQ(net->Weight(k, i, layer), 9.0);
        }
      }
    }
  }

  const double weight = net->Weight(20, 20, 3);
  net->FixedSeed.reset();  // from the clock: a fresh start
  InitWeights(*net);
  EXPECT_NE(net->Weight(20, 20, 3), weight);
}

}  // namespace
}  // namespace kelda::engine
