#include "engine/engine.h"

namespace kelda::engine {

void ClassInitialize(NetworkState& net) {
  net.OutputHigh = 1.0f;
  net.OutputLow = 0.0f;
  net.InitialTemperature = 5.0f;
  net.LearningRate = 1.0f;
  net.Momentum = 0.5f;
  net.WeightInitHigh = 0.25f;
  net.WeightInitLow = -0.25f;
  net.BiasInitHigh = 0.2f;
  net.BiasInitLow = -0.2f;
}

}  // namespace kelda::engine
