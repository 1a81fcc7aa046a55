// The backward passes and the epoch's weight update: a net of one unit per
// layer, whose figures were worked out independently of this code, carried
// through both; and the target's failures.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>

#include "base/error.h"
#include "base/value.h"
#include "engine/engine.h"
#include "support/raised.h"

namespace kelda::engine {
namespace {

using test::ErrorNumberOf;

class FixedTarget : public TargetSource {
 public:
  FixedTarget(Value target, Value min, Value max) : target_(target), min_(min), max_(max) {}
  Value CurrentTarget() override { return target_; }
  const Value& TargetMin() const override { return min_; }
  const Value& TargetMax() const override { return max_; }
  double& FieldValue() override { return field_value; }
  double field_value = -1.0;

 private:
  Value target_, min_, max_;
};

// Equal to six significant digits, the precision the expected figures were
// worked out to.
testing::AssertionResult Printed(double actual, const char* printed) {
  char want[32], got[32];
  std::snprintf(want, sizeof want, "%.5e", std::strtod(printed, nullptr));
  std::snprintf(got, sizeof got, "%.5e", actual);
  if (std::string(want) == got) return testing::AssertionSuccess();
  return testing::AssertionFailure() << actual << " is not " << printed;
}

// One input of 1.0, Weight(1, 1, 2) = 0.5, Weight(1, 1, 3) = 1.0, biases 0,
// temperatures 2, OutputSpan 1 and the training LearningRate and Momentum.
std::unique_ptr<NetworkState> OneUnitNet() {
  auto net = std::make_unique<NetworkState>();
  ClassInitialize(*net);
  net->LearningRate = 0.15f;
  net->Momentum = 0.9f;
  net->OutputSpan = 1.0f;
  for (int layer = 1; layer <= 3; ++layer) net->LayerUnits(layer) = 1;
  net->Activation(1, 1) = 1.0;
  net->Weight(1, 1, 2) = 0.5;
  net->Weight(1, 1, 3) = 1.0;
  net->Temperature(1, 2) = net->Temperature(1, 3) = 2.0;
  return net;
}

TEST(TrainingStep, OneUnitNetThroughBothPassesAndTheUpdate) {
  auto net = OneUnitNet();
  FixedTarget target(Value(30.0), Value(10.0), Value(30.0));  // scales to 1.0
  ForwardPass(*net);
  EXPECT_TRUE(Printed(net->Activation(1, 2), "0.562177"));
  EXPECT_TRUE(Printed(net->Activation(1, 3), "0.569813"));
  for (auto pass : {BackPropMomentum, BackPropGradient}) {
    pass(*net, target);
    EXPECT_EQ(target.field_value, 1.0);
    EXPECT_TRUE(Printed(net->UnitError(1, 3), "0.430187"));
    EXPECT_TRUE(Printed(net->UnitDelta(1, 3), "0.0527250"));
    EXPECT_TRUE(Printed(net->UnitDelta(1, 2), "0.0129774"));
  }
  EXPECT_TRUE(Printed(net->BiasSlope(1, 3), "0.0606338"));
  EXPECT_TRUE(Printed(net->WeightSlope(1, 1, 3), "0.0340869"));
  EXPECT_TRUE(Printed(net->BiasSlope(1, 2), "0.0149240"));
  EXPECT_TRUE(Printed(net->WeightSlope(1, 1, 2), "0.0149240"));
  EXPECT_TRUE(Printed(net->ErrorSum, "0.370122"));

  ApplySlopes(*net);
  EXPECT_TRUE(Printed(net->Weight(1, 1, 3), "1.0340869"));
  EXPECT_TRUE(Printed(net->Bias(1, 3), "0.0606338"));
  UpdateWeights(*net);
  EXPECT_TRUE(Printed(net->WeightStep(1, 1, 3), "0.00511303"));
  EXPECT_TRUE(Printed(net->Weight(1, 1, 3), "1.0392000"));
  EXPECT_TRUE(Printed(net->BiasStep(1, 3), "0.00909507"));
  EXPECT_TRUE(Printed(net->Bias(1, 3), "0.0697289"));
  EXPECT_EQ(net->WeightSlope(1, 1, 3), 0.0);
  EXPECT_EQ(net->BiasSlope(1, 2), 0.0);
}

struct TargetFailure {
  const char* name;
  Value target, min, max;
  int32_t error;
  double field_value;  // what the pass leaves in FieldValue
};

void PrintTo(const TargetFailure& f, std::ostream* os) { *os << f.name; }

class BadTarget : public testing::TestWithParam<TargetFailure> {};

TEST_P(BadTarget, StopsThePassBeforeAnythingIsFolded) {
  for (auto pass : {BackPropMomentum, BackPropGradient}) {
    auto net = OneUnitNet();
    ForwardPass(*net);
    FixedTarget target(GetParam().target, GetParam().min, GetParam().max);
    EXPECT_EQ(ErrorNumberOf([&] { pass(*net, target); }), GetParam().error);
    EXPECT_EQ(target.field_value, GetParam().field_value);
    EXPECT_EQ(net->BiasSlope(1, 3), 0.0);
    EXPECT_EQ(net->ErrorSum, 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, BadTarget,
                         testing::Values(TargetFailure{"EmptyRange", Value(4.0), Value(4.0),
                                                       Value(4.0), kErrOverflow, 4.0},
                                         TargetFailure{"OutsideEmptyRange", Value(5.0), Value(4.0),
                                                       Value(4.0), kErrDivisionByZero, 5.0},
                                         TargetFailure{"Null", Value::Null(), Value(0.0),
                                                       Value(1.0), kErrInvalidUseOfNull, -1.0},
                                         TargetFailure{"Text", Value("n/a"), Value(0.0), Value(1.0),
                                                       kErrTypeMismatch, -1.0},
                                         TargetFailure{"NullRange", Value(1.0), Value::Null(),
                                                       Value::Null(), kErrInvalidUseOfNull, 1.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TrainingStep, ALayerAboveTwentyUnitsStopsThePassAtItsTwentyFirstUnit) {
  auto net = OneUnitNet();
  net->LayerUnits(2) = 21;
  net->UnitError(20, 2) = net->UnitError(1, 3) = 1.0;
  FixedTarget target(Value(1.0), Value(0.0), Value(1.0));
  EXPECT_EQ(ErrorNumberOf([&] { BackPropGradient(*net, target); }), kErrSubscript);
  EXPECT_EQ(net->UnitError(20, 2), 0.0);
  EXPECT_EQ(net->UnitError(1, 3), 1.0);
}

// A stray entry in the error rows of the lower layers (which the passes
// themselves leave clear) is cleared to +0 wherever it stands in the row,
// -0 included, on each vector width; entries past the layer's units stay.
struct StrayError {
  int unit;
  double value;
  int lanes;  // the widest vectors the passes may use
};

void PrintTo(const StrayError& stray, std::ostream* os) {
  *os << stray.value << " at unit " << stray.unit << ", " << stray.lanes << " lanes";
}

class ErrorRowClearing : public testing::TestWithParam<StrayError> {};

TEST_P(ErrorRowClearing, LeavesEveryUnitInUseAtPositiveZero) {
  const StrayError stray = GetParam();
  auto net = OneUnitNet();
  net->VectorLanes = stray.lanes;
  net->LayerUnits(1) = 19;
  net->LayerUnits(2) = 18;
  net->Temperature.Fill(2.0);
  FixedTarget target(Value(1.0), Value(0.0), Value(1.0));
  ForwardPass(*net);
  for (int layer : {1, 2}) {
    net->UnitError(stray.unit, layer) = stray.value;
    net->UnitError(20, layer) = 7.0;
  }
  BackPropMomentum(*net, target);
  for (int layer : {1, 2}) {
    for (int j = 1; j <= net->LayerUnits(layer); ++j) {
      EXPECT_EQ(std::bit_cast<uint64_t>(net->UnitError(j, layer)), 0u) << j << " " << layer;
    }
    EXPECT_EQ(net->UnitError(20, layer), 7.0);
  }
}

INSTANTIATE_TEST_SUITE_P(TrainingStep, ErrorRowClearing,
                         testing::Values(StrayError{1, 2.0, 4}, StrayError{4, -0.0, 4},
                                         StrayError{5, 1e-300, 4}, StrayError{17, -3.0, 2},
                                         StrayError{18, -0.0, 4}, StrayError{1, -0.0, 2},
                                         StrayError{3, 5.0, 2}, StrayError{18, 1.0, 2}),
                         [](const auto& info) {
                           return "Case" + std::to_string(info.index) + "Unit" +
                                  std::to_string(info.param.unit) + "Lanes" +
                                  std::to_string(info.param.lanes);
                         });

// Where the passes raise, the sweep that runs both at once raises the same
// error at the same point and leaves every table as the passes leave them.
struct SweepFault {
  const char* name;
  Value target, min, max;
  int outputs;
  double temperature_of_last_output;
  float span;
  int32_t error;
};

void PrintTo(const SweepFault& fault, std::ostream* os) { *os << fault.name; }

class SweptPasses : public testing::TestWithParam<SweepFault> {};

TEST_P(SweptPasses, FailLikeThePassesOneAfterTheOther) {
  const SweepFault& fault = GetParam();
  auto start = OneUnitNet();
  start->LayerUnits(3) = static_cast<int16_t>(fault.outputs);
  for (int j = 1; j <= fault.outputs; ++j) {
    start->Temperature(j, 3) = 2.0;
    start->Weight(1, j, 3) = 0.25 * j;
  }
  start->Temperature(fault.outputs, 3) = fault.temperature_of_last_output;
  start->OutputSpan = fault.span;
  start->WeightSlope.Fill(0.125);
  auto passes = std::make_unique<NetworkState>(*start);
  auto swept = std::make_unique<NetworkState>(*start);
  FixedTarget passes_target(fault.target, fault.min, fault.max);
  FixedTarget swept_target(fault.target, fault.min, fault.max);
  const int32_t passes_error = test::ErrorNumberOf([&] {
    ForwardPass(*passes);
    BackPropMomentum(*passes, passes_target);
    BackPropGradient(*passes, passes_target);
  });
  const int32_t swept_error = test::ErrorNumberOf([&] {
    ForwardPass(*swept);
    BackPropMomentumThenGradient(*swept, swept_target);
  });
  EXPECT_EQ(passes_error, fault.error);
  EXPECT_EQ(swept_error, fault.error);
  EXPECT_EQ(std::bit_cast<uint64_t>(swept_target.field_value),
            std::bit_cast<uint64_t>(passes_target.field_value));
  EXPECT_EQ(std::bit_cast<uint64_t>(swept->ErrorSum), std::bit_cast<uint64_t>(passes->ErrorSum));
  const auto same_bytes = [](const auto& a, const auto& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
  };
  EXPECT_TRUE(same_bytes(swept->UnitError, passes->UnitError));
  EXPECT_TRUE(same_bytes(swept->UnitDelta, passes->UnitDelta));
  EXPECT_TRUE(same_bytes(swept->BiasSlope, passes->BiasSlope));
  EXPECT_TRUE(same_bytes(swept->WeightSlope, passes->WeightSlope));
}

INSTANTIATE_TEST_SUITE_P(
    TrainingStep, SweptPasses,
    testing::Values(SweepFault{"Plain", Value(20.0), Value(10.0), Value(30.0), 3, 2.0, 1.0f, 0},
                    SweepFault{"NullTarget", Value::Null(), Value(10.0), Value(30.0), 1, 2.0, 1.0f,
                               kErrInvalidUseOfNull},
                    SweepFault{"TextTarget", Value("x"), Value(10.0), Value(30.0), 2, 2.0, 1.0f,
                               kErrTypeMismatch},
                    SweepFault{"FlatRange", Value(20.0), Value(30.0), Value(30.0), 1, 2.0, 1.0f,
                               kErrDivisionByZero},
                    SweepFault{"NullRangeEnd", Value(20.0), Value::Null(), Value(30.0), 1, 2.0,
                               1.0f, kErrInvalidUseOfNull},
                    SweepFault{"ColdOutput", Value(20.0), Value(10.0), Value(30.0), 1, 0.0, 1.0f,
                               kErrDivisionByZero},
                    SweepFault{"ColdThirdOutput", Value(20.0), Value(10.0), Value(30.0), 3, 0.0,
                               1.0f, kErrDivisionByZero},
                    SweepFault{"ColdOutputNoSpan", Value(20.0), Value(10.0), Value(30.0), 2, 0.0,
                               0.0f, kErrOverflow},
                    SweepFault{"HugeTarget", Value(1e308), Value(-1e308), Value(1e308), 2, 2.0,
                               1.0f, kErrOverflow}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WeightUpdate, AUnitAccumulatorGainsTheWidenedLearningRateAndNothingElseMoves) {
  auto net = OneUnitNet();
  net->Weight.Fill(3.0);
  net->Weight(1, 1, 3) = 0.0;
  net->WeightSlope.Fill(1.0);
  ApplySlopes(*net);
  UpdateWeights(*net);
  EXPECT_EQ(net->Weight(1, 1, 3), 1.0 + 0.15000000596046448);
  EXPECT_EQ(net->WeightStep(1, 1, 3), 0.15000000596046448);
  EXPECT_EQ(net->WeightSlope(1, 1, 3), 0.0);
  // Outside the units in use (unit 0, units above LayerUnits, layer 1).
  for (int unit : {0, 2, 20}) {
    EXPECT_EQ(net->Weight(unit, 1, 2), 3.0);
    EXPECT_EQ(net->Weight(1, unit, 3), 3.0);
    EXPECT_EQ(net->WeightSlope(1, unit, 2), 1.0);
  }
  EXPECT_EQ(net->Weight(1, 1, 1), 3.0);
}

}  // namespace
}  // namespace kelda::engine
