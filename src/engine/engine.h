// The network engine's procedures: plain functions over a NetworkState.
// Each one works its sums in one fixed order and rounds wherever it stores a
// result: trained weights and predictions are reproduced to the last bit
// (a saved network predicts exactly what training wrote, on any vector
// width), so a reordering that is harmless in exact arithmetic is not
// harmless here.
//
// An epoch: for every example ForwardPass, BackPropMomentum and
// BackPropGradient; after the last example ApplySlopes, then UpdateWeights.
// Weights and biases stay fixed during the epoch while the accumulators
// (BiasSlope, WeightSlope) collect its corrections. Each correction has two
// parts, and each part is a procedure of its own:
//  - Within the epoch, BackPropMomentum folds the examples in row by row
//    with momentum (the accumulator decays by Momentum, then gains
//    LearningRate times the example's gradient), which weighs the latest
//    examples most; BackPropGradient then adds the example's plain gradient,
//    which counts every example in full wherever it stands in the table. An
//    accumulator S with gradient term g becomes
//    (Momentum * S + LearningRate * g) + g.
//  - Across epochs, ApplySlopes moves every weight by its accumulator as it
//    stands, and UpdateWeights adds a momentum step on top,
//    Momentum * (the previous epoch's step) + LearningRate * S, so that a
//    direction that holds over several epochs gathers speed.
// The parts are not fused into one formula because each stores, and so
// rounds, its own result: fused, the weights would differ in their last
// bits. Since both passes add the example's squared error, ErrorSum is twice
// the sum of squared errors; the convergence test and the status window's
// error figure both read that doubled sum.
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
// exceeds the largest double the logistic is taken as 0. Never raises; for
// T = 0 (which InitWeights never gives) the output is OutputHigh for x > 0,
// OutputLow for x < 0 and NaN for x = 0.
void Sigmoid(const NetworkState& net, double& value, const double& temperature);

// Outputs of layers 2 and 3 for the inputs standing in layer 1, each unit
// bit for bit Sigmoid of its net input.
// Raises 9, before anything changes, when a layer has more than 20 units or
// CurrentPattern lies outside 0..5000 (nothing is checked when all three
// layers are empty). Raises 6 at a unit whose net input or output is not
// finite; the units before it keep their new outputs.
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
// fold respectively).
// REQUIRES: ForwardPass has just run for the example.
// Raise 9 at the 21st unit of a layer above 20 units (UnitError is cleared
// up to there); 6 for a target column whose minimum equals its maximum;
// 94 / 13 for a target or range end that is Null / not a number; 11 for an
// output temperature of 0 (6 if OutputSpan is 0 as well); 6 for any value
// that would not be finite. An error stops the pass where it arises, keeping
// what was stored before.
void BackPropMomentum(NetworkState& net, TargetSource& target);
void BackPropGradient(NetworkState& net, TargetSource& target);

// BackPropMomentum and then BackPropGradient: the same stored values, the
// same errors raised at the same points, to the bit. Where nothing
// overflows it folds each accumulator both ways in one sweep; otherwise it
// runs the two passes one after the other. The sweep reads the target once.
// REQUIRES: ForwardPass has just run for the example.
void BackPropMomentumThenGradient(NetworkState& net, TargetSource& target);

// End of epoch: add the accumulators to weights and biases, then the
// momentum step, and clear the accumulators. Only units 1..LayerUnits(L) of
// layers 2 and 3 (and their incoming units 1..LayerUnits(L - 1)) are read or
// written. Raise 9 at the first unit beyond 20 and 6 for a value that would
// not be finite, keeping what was stored before.
// REQUIRES: called in this order, once at the end of each epoch.
void ApplySlopes(NetworkState& net);
void UpdateWeights(NetworkState& net);

// Fresh random weights and biases, one temperature (InitialTemperature) for
// every unit, cleared accumulators and steps, for units 1..20 of layers 1..3
// whatever LayerUnits says. Re-seeds net.Random first: from net.FixedSeed when
// set (the same 1,260 draws every call), else from the clock. Raises 6 when a
// parameter range does not fit a single.
void InitWeights(NetworkState& net);

}  // namespace kelda::engine
