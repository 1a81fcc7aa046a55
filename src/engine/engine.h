// The network engine's procedures: plain functions over a NetworkState, in
// the arithmetic order the design fixes (results are compared to the last bit).
#pragma once

#include "base/value.h"
#include "engine/network_state.h"

namespace kelda::engine {

// Writes the default parameters of object creation: OutputHigh 1, OutputLow 0,
// InitialTemperature 5, LearningRate 1, Momentum 0.5, WeightInitHigh 0.25,
// WeightInitLow -0.25, BiasInitHigh 0.2f, BiasInitLow -0.2f. Touches no table.
void ClassInitialize(NetworkState& net);

// Replaces `value` (a unit's net input x) by the unit's output
// (OutputHigh - OutputLow) * 1 / (1 + e^(-x / T)) + OutputLow. Where e^(-x/T)
// exceeds the largest double the logistic is taken as 0. Never raises.
void Sigmoid(const NetworkState& net, double& value, const double& temperature);

// Outputs of layers 2 and 3 for the inputs standing in layer 1.
// Raises 9, before anything changes, when a layer has more than 20 units or
// CurrentPattern lies outside 0..5000.
void ForwardPass(NetworkState& net);

// What the backward passes need of the current example's target.
class TargetSource {
 public:
  virtual ~TargetSource() = default;
  // The raw target of the current example (the first field of the target
  // row source's current row). Read once per output unit.
  virtual Value CurrentTarget() = 0;
  // The target column's range, as the range queries returned them.
  virtual const Value& TargetMin() const = 0;
  virtual const Value& TargetMax() const = 0;
  // The object's scratch double; left holding the scaled target.
  virtual double& FieldValue() = 0;
};

// The two backward passes: output error, deltas, ErrorSum, and the folds of
// the example into BiasSlope / WeightSlope (momentum fold and plain gradient
// fold respectively). Raise 6 for a target column whose minimum equals its
// maximum, 94 / 13 for a target that is Null / not a number.
void BackPropMomentum(NetworkState& net, TargetSource& target);
void BackPropGradient(NetworkState& net, TargetSource& target);

// End of epoch: add the accumulators to weights and biases, then the
// momentum step, and clear the accumulators.
void ApplySlopes(NetworkState& net);
void UpdateWeights(NetworkState& net);

// Fresh random weights and biases, one temperature for every unit, cleared
// accumulators and steps, for units 1..20 of layers 1..3.
void InitWeights(NetworkState& net);

}  // namespace kelda::engine
