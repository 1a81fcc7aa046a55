#include "base/checked.h"
#include "engine/engine.h"

// Once per epoch and at most 420 connections: the checked accessors cost
// nothing worth saving here, and they stop a loop at exactly the first unit
// beyond the tables.

namespace kelda::engine {

void ApplySlopes(NetworkState& net) {
  for (int layer = 2; layer <= kMaxLayer; ++layer) {
    const int units = net.LayerUnits(layer);
    for (int j = 1; j <= units; ++j) {
      net.Bias(j, layer) = Finite(net.BiasSlope(j, layer) + net.Bias(j, layer));
    }
  }
  for (int layer = 2; layer <= kMaxLayer; ++layer) {
    const int units = net.LayerUnits(layer);
    for (int j = 1; j <= units; ++j) {
      const int inputs = net.LayerUnits(layer - 1);
      for (int i = 1; i <= inputs; ++i) {
        net.Weight(i, j, layer) = Finite(net.WeightSlope(i, j, layer) + net.Weight(i, j, layer));
      }
    }
  }
}

void UpdateWeights(NetworkState& net) {
  const double learning_rate = net.LearningRate;
  const double momentum = net.Momentum;
  for (int layer = 2; layer <= kMaxLayer; ++layer) {
    const int units = net.LayerUnits(layer);
    for (int j = 1; j <= units; ++j) {
      net.BiasStep(j, layer) =
          Finite(learning_rate * net.BiasSlope(j, layer) + momentum * net.BiasStep(j, layer));
      net.Bias(j, layer) = Finite(net.BiasStep(j, layer) + net.Bias(j, layer));
      net.BiasSlope(j, layer) = 0.0;
      const int inputs = net.LayerUnits(layer - 1);
      for (int i = 1; i <= inputs; ++i) {
        net.WeightStep(i, j, layer) = Finite(momentum * net.WeightStep(i, j, layer) +
                                             learning_rate * net.WeightSlope(i, j, layer));
        net.Weight(i, j, layer) = Finite(net.Weight(i, j, layer) + net.WeightStep(i, j, layer));
        net.WeightSlope(i, j, layer) = 0.0;
      }
    }
  }
}

}  // namespace kelda::engine
