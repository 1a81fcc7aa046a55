// The per-example passes run on vectors, in blocks and tails that depend on
// the layer sizes. Here they run against plain unit-by-unit loops, written
// for reading rather than speed, on random nets of many shapes and on both
// vector widths (4 and 2 lanes, as far as the processor has them), and every table must agree to
// the bit; and an overflow in a weight row must stop at the exact entry wherever it falls.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <tuple>

#include "base/checked.h"
#include "base/error.h"
#include "base/value.h"
#include "engine/engine.h"
#include "support/raised.h"

namespace kelda::engine {
namespace {

class RawTarget : public TargetSource {
 public:
  explicit RawTarget(double raw) : raw_(raw) {}
  Value CurrentTarget() override { return Value(raw_); }
  const Value& TargetMin() const override { return min_; }
  const Value& TargetMax() const override { return max_; }
  double& FieldValue() override { return field_value; }
  double field_value = 0.0;

 private:
  double raw_;
  Value min_{-2.0}, max_{6.0};
};

void ReferenceForward(NetworkState& n) {
  for (int layer = 2; layer <= 3; ++layer) {
    for (int j = 1; j <= n.LayerUnits(layer); ++j) {
      double net = n.Bias(j, layer);
      for (int i = 1; i <= n.LayerUnits(layer - 1); ++i) {
        net = n.Weight(i, j, layer) * n.Activation(i, layer - 1) + net;
      }
      Finite(net);
      Sigmoid(n, net, n.Temperature(j, layer));
      n.Activation(j, layer) = Finite(net);
    }
  }
}

void ReferenceBackProp(NetworkState& n, TargetSource& target, bool momentum_fold) {
  const double rate = n.LearningRate, momentum = n.Momentum;
  const auto fold = [&](double& slope, double delta, double a) {
    slope = Finite(momentum_fold ? rate * delta * a + momentum * slope : a * delta + slope);
  };
  for (int layer = 1; layer <= 3; ++layer) {
    for (int j = 1; j <= n.LayerUnits(layer); ++j) n.UnitError(j, layer) = 0.0;
  }
  for (int j = 1; j <= n.LayerUnits(3); ++j) {
    const double y = n.Activation(j, 3);
    const double d = (1.0 - y) * ((double{n.OutputSpan} / n.Temperature(j, 3)) * y);
    double& field = target.FieldValue();
    field = target.CurrentTarget().ToDouble();
    const double range = target.TargetMax().ToDouble() - target.TargetMin().ToDouble();
    field = (field - target.TargetMin().ToDouble()) / range;
    n.UnitError(j, 3) = field - y;
    n.ErrorSum = n.UnitError(j, 3) * n.UnitError(j, 3) + n.ErrorSum;
    n.UnitDelta(j, 3) = d * n.UnitError(j, 3);
    fold(n.BiasSlope(j, 3), n.UnitDelta(j, 3), 1.0);
    for (int i = 1; i <= n.LayerUnits(2); ++i) {
      fold(n.WeightSlope(i, j, 3), n.UnitDelta(j, 3), n.Activation(i, 2));
    }
  }
  for (int j = 1; j <= n.LayerUnits(2); ++j) {
    const double y = n.Activation(j, 2);
    double sum = 0.0;
    for (int k = 1; k <= n.LayerUnits(3); ++k) sum = n.Weight(j, k, 3) * n.UnitDelta(k, 3) + sum;
    n.UnitDelta(j, 2) = sum * ((1.0 - y) * y);
    fold(n.BiasSlope(j, 2), n.UnitDelta(j, 2), 1.0);
    for (int i = 1; i <= n.LayerUnits(1); ++i) {
      fold(n.WeightSlope(i, j, 2), n.UnitDelta(j, 2), n.Activation(i, 1));
    }
  }
}

// A trained-looking net of the given shape; entries outside the units in
// use hold values that would show if a vector lane leaked into them.
std::unique_ptr<NetworkState> RandomNet(int inputs, int hidden, int outputs, int lanes) {
  auto net = std::make_unique<NetworkState>();
  ClassInitialize(*net);
  net->FixedSeed = static_cast<uint64_t>(inputs * 400 + hidden * 20 + outputs);
  InitWeights(*net);
  net->LearningRate = 0.15f;
  net->Momentum = 0.9f;
  net->OutputSpan = 1.0f;
  net->VectorLanes = lanes;
  net->LayerUnits(1) = static_cast<int16_t>(inputs);
  net->LayerUnits(2) = static_cast<int16_t>(hidden);
  net->LayerUnits(3) = static_cast<int16_t>(outputs);
  for (int layer = 1; layer <= 3; ++layer) {
    for (int j = 1; j <= 20; ++j) {
      net->Activation(j, layer) = net->Random.Next() * 4.0 - 1.0;
      net->BiasSlope(j, layer) = net->Random.Next() - 0.5;
      for (int i = 1; i <= 20; ++i) net->WeightSlope(i, j, layer) = net->Random.Next() - 0.5;
    }
  }
  return net;
}

using test::ErrorNumberOf;

void ExpectSameTables(const NetworkState& net, const NetworkState& reference) {
  ASSERT_EQ(net.ErrorSum, reference.ErrorSum);
  for (int layer = 0; layer <= 3; ++layer) {
    for (int j = 0; j <= 20; ++j) {
      ASSERT_EQ(net.Activation(j, layer), reference.Activation(j, layer)) << j << " " << layer;
      ASSERT_EQ(net.UnitError(j, layer), reference.UnitError(j, layer)) << j << " " << layer;
      ASSERT_EQ(net.UnitDelta(j, layer), reference.UnitDelta(j, layer)) << j << " " << layer;
      ASSERT_EQ(net.BiasSlope(j, layer), reference.BiasSlope(j, layer)) << j << " " << layer;
      for (int i = 0; i <= 20; ++i) {
        ASSERT_EQ(net.WeightSlope(i, j, layer), reference.WeightSlope(i, j, layer))
            << i << " " << j << " " << layer;
      }
    }
  }
}

// Runs one example through the engine's passes one after the other, through
// the sweep that does both at once (on a copy), and through the reference;
// all must stop with `expected_error` (0: none) and leave every table the
// same. `net` goes on from the passes' result.
void ExpectSameExample(NetworkState& net, NetworkState& reference, double raw_target,
                       int32_t expected_error = 0) {
  auto swept = std::make_unique<NetworkState>(net);
  RawTarget target(raw_target), swept_target(raw_target), reference_target(raw_target);
  const int32_t error = ErrorNumberOf([&] {
    ForwardPass(net);
    BackPropMomentum(net, target);
    BackPropGradient(net, target);
  });
  const int32_t swept_error = ErrorNumberOf([&] {
    ForwardPass(*swept);
    BackPropMomentumThenGradient(*swept, swept_target);
  });
  const int32_t reference_error = ErrorNumberOf([&] {
    ReferenceForward(reference);
    ReferenceBackProp(reference, reference_target, true);
    ReferenceBackProp(reference, reference_target, false);
  });
  ASSERT_EQ(error, expected_error);
  ASSERT_EQ(swept_error, expected_error);
  ASSERT_EQ(reference_error, expected_error);
  ASSERT_EQ(target.field_value, reference_target.field_value);
  ASSERT_EQ(swept_target.field_value, reference_target.field_value);
  ASSERT_NO_FATAL_FAILURE(ExpectSameTables(net, reference));
  ASSERT_NO_FATAL_FAILURE(ExpectSameTables(*swept, reference)) << "swept";
}

using Shape = std::tuple<std::tuple<int, int, int>, int>;  // sizes, widest vector lanes

class AgainstReference : public testing::TestWithParam<Shape> {};

TEST_P(AgainstReference, EveryTableAgreesToTheBit) {
  const auto& [sizes, lanes] = GetParam();
  const auto& [inputs, hidden, outputs] = sizes;
  auto net = RandomNet(inputs, hidden, outputs, lanes);
  auto reference = std::make_unique<NetworkState>(*net);
  for (int example = 1; example <= 3; ++example) {
    for (int i = 1; i <= inputs; ++i) {
      net->Activation(i, 1) = reference->Activation(i, 1) = net->Random.Next();
    }
    ASSERT_NO_FATAL_FAILURE(ExpectSameExample(*net, *reference, net->Random.Next() * 8.0 - 2.0));
    ASSERT_EQ(net->ErrorSum, reference->ErrorSum);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, AgainstReference,
    testing::Combine(testing::Values(std::make_tuple(19, 20, 1), std::make_tuple(1, 1, 1),
                                     std::make_tuple(20, 20, 20), std::make_tuple(3, 7, 2),
                                     std::make_tuple(17, 18, 19), std::make_tuple(16, 16, 3),
                                     std::make_tuple(0, 5, 1), std::make_tuple(5, 0, 1),
                                     std::make_tuple(2, 3, 0), std::make_tuple(3, 20, 1),
                                     std::make_tuple(20, 3, 1), std::make_tuple(1, 20, 20),
                                     std::make_tuple(20, 1, 20), std::make_tuple(7, 13, 5),
                                     std::make_tuple(20, 20, 1)),
                     testing::Values(2, 4)),
    [](const auto& info) {
      const auto& sizes = std::get<0>(info.param);
      return std::to_string(std::get<0>(sizes)) + "_" + std::to_string(std::get<1>(sizes)) + "_" +
             std::to_string(std::get<2>(sizes)) + "_Lanes" +
             std::to_string(std::get<1>(info.param));
    });

// An accumulator at the largest double meets a huge input at each place a
// row's vector blocks and tails can put it, so that the momentum fold (or,
// with LearningRate 0, the gradient fold) overflows there.
class FoldOverflow : public testing::TestWithParam<std::tuple<int, int, bool>> {};

TEST_P(FoldOverflow, StopsAtTheSameEntry) {
  const auto [bad, lanes, in_gradient] = GetParam();
  auto net = RandomNet(19, 20, 1, lanes);
  net->Momentum = 1.0f;
  if (in_gradient) net->LearningRate = 0.0f;
  for (int j = 1; j <= 20; ++j) net->Weight(bad, j, 2) = 0.0;  // unseen by the forward pass
  net->Activation(bad, 1) = 1e300;
  net->WeightSlope(bad, 1, 2) = std::numeric_limits<double>::max();
  net->Weight(1, 1, 3) = 0.5;  // with the target at the top: unit 1's delta is positive
  auto reference = std::make_unique<NetworkState>(*net);
  ExpectSameExample(*net, *reference, 6.0, kErrOverflow);
}

// Names the cases: the input that overflows, the vector width, the fold.
std::string FoldOverflowName(const testing::TestParamInfo<std::tuple<int, int, bool>>& info) {
  const auto& [bad, lanes, in_gradient] = info.param;
  return "Input" + std::to_string(bad) + "_Lanes" + std::to_string(lanes) +
         (in_gradient ? "_GradientFold" : "_MomentumFold");
}

INSTANTIATE_TEST_SUITE_P(Entries, FoldOverflow,
                         testing::Combine(testing::Values(1, 2, 4, 5, 8, 9, 16, 17, 18, 19),
                                          testing::Values(2, 4), testing::Bool()),
                         FoldOverflowName);

// A hidden unit whose bias accumulator is already infinite stops the pass at
// that unit, after the rows of the units before it, wherever the unit falls
// in the vectors that form the hidden layer's deltas.
class HiddenUnitOverflow : public testing::TestWithParam<std::tuple<int, int, bool>> {};

TEST_P(HiddenUnitOverflow, StopsAtTheSameUnit) {
  const auto [bad, lanes, in_gradient] = GetParam();
  auto net = RandomNet(19, 20, 1, lanes);
  if (in_gradient) net->LearningRate = 0.0f;
  net->BiasSlope(bad, 2) = std::numeric_limits<double>::infinity();
  auto reference = std::make_unique<NetworkState>(*net);
  ExpectSameExample(*net, *reference, 6.0, kErrOverflow);
}

std::string HiddenUnitName(const testing::TestParamInfo<std::tuple<int, int, bool>>& info) {
  const auto& [bad, lanes, in_gradient] = info.param;
  return "Unit" + std::to_string(bad) + "_Lanes" + std::to_string(lanes) +
         (in_gradient ? "_GradientFold" : "_MomentumFold");
}

INSTANTIATE_TEST_SUITE_P(Units, HiddenUnitOverflow,
                         testing::Combine(testing::Values(1, 4, 5, 8, 9, 17, 20),
                                          testing::Values(2, 4), testing::Bool()),
                         HiddenUnitName);

}  // namespace
}  // namespace kelda::engine
