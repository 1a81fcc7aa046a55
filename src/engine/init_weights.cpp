#include "base/error.h"
#include "base/single.h"
#include "engine/engine.h"

namespace kelda::engine {

void InitWeights(NetworkState& net) {
  if (net.FixedSeed) {
    net.Random.Seed(*net.FixedSeed);
  } else {
    net.Random.SeedFromClock();
  }
  const double weight_span = ToSingle(double{net.WeightInitHigh} - double{net.WeightInitLow});
  const double bias_span = ToSingle(double{net.BiasInitHigh} - double{net.BiasInitLow});
  const double weight_low = net.WeightInitLow;
  const double bias_low = net.BiasInitLow;
  const double temperature = net.InitialTemperature;

  // The draw order (unit, then layer, then bias before the incoming weights)
  // fixes which draw lands where; a fixed seed relies on it.
  for (int i = 1; i <= kMaxUnit; ++i) {
    for (int layer = 1; layer <= kMaxLayer; ++layer) {
      net.Bias(i, layer) = double{net.Random.Next()} * bias_span + bias_low;
      net.BiasStep(i, layer) = 0.0;
      net.BiasSlope(i, layer) = 0.0;
      net.Temperature(i, layer) = temperature;
      for (int k = 1; k <= kMaxUnit; ++k) {
        net.Weight(k, i, layer) = double{net.Random.Next()} * weight_span + weight_low;
        net.WeightSlope(k, i, layer) = 0.0;
        net.WeightStep(k, i, layer) = 0.0;
      }
    }
  }
}

}  // namespace kelda::engine
