// The per-example procedures: Sigmoid, ForwardPass and the two backward
// passes. Together they are nearly all of an epoch's time, so they share the
// vector code below.
//
// The loops run on the short vectors of engine/vector_math.h, worked lane by
// lane, so every result is the same to the bit whatever the vector width.
// Vectors only ever run across independent entries (units, or the entries of
// a row), never along a sum. Pairs are what every x86-64 has; where the
// processor has AVX2 and FMA the passes run compiled for it, on vectors of
// four, and e^x on those vectors too where it agrees with the C library's.
// (Vectors of eight were tried: on a processor that works them in two
// halves, and with 4 of their 24 lanes idle over 20 units, they were a
// third slower than fours.)
//
// Everything that takes or returns a vector is forced inline and has internal
// linkage, so no vector ever crosses a call, and the compilers' warning that
// 32-byte vector arguments change the calling convention without AVX does
// not apply.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "base/checked.h"
#include "base/error.h"
#include "base/value.h"
#include "engine/engine.h"
#include "engine/vector_math.h"

// Loops over the few vectors of a row, unrolled so that they stay in registers.
#define KELDA_UNROLL _Pragma("GCC unroll 16")
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wunknown-warning-option"
#endif
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelda::engine {

namespace {

using vec::AllFinite;
using vec::kLanes;
using vec::Load;
using vec::Pair;
using vec::Quad;
using vec::Store;

constexpr int kMaxPattern = 5000;

// ---------------------------------------------------------------------------
// Activation. ForwardPass runs each step over a whole layer before the next
// (z = -x / T, e = e^z, the output from e), so that the exponentials,
// independent of each other, overlap.

// Where e^z overflowed the logistic is 0 to within any double, so the unit
// saturates at OutputLow instead of failing.
KELDA_INLINE double Logistic(double e) { return std::isinf(e) ? 0.0 : 1.0 / (1.0 + e); }

template <typename V>
KELDA_INLINE V Logistic(const V& e) {
  const V overflowed = V{} + std::numeric_limits<double>::infinity();
  return e == overflowed ? V{} : 1.0 / (1.0 + e);
}

template <typename T>
KELDA_INLINE T Output(const NetworkState& net, const T& e) {
  const double high = net.OutputHigh;
  const double low = net.OutputLow;
  return (high - low) * Logistic(e) + low;
}

// ---------------------------------------------------------------------------
// Forward pass.

// Everything the pass will index, checked before any unit changes.
void CheckIndices(const NetworkState& net) {
  for (int layer = 1; layer <= kMaxLayer; ++layer) {
    const int units = net.LayerUnits(layer);
    if (units < 1) continue;
    if (units > kMaxUnit) Raise(kErrSubscript);
    if (net.CurrentPattern < 0 || net.CurrentPattern > kMaxPattern) Raise(kErrSubscript);
  }
}

// Net inputs of units 1 .. kVectors * n of `layer`, side by side: each
// unit's sum taken bias first and then over i = 1, 2, ... in that order. One
// sum waits on each of its additions in turn; sums side by side keep the
// pipeline full. Units past LayerUnits(layer) are summed from the rows'
// spare slots into spare entries of `x` that nothing reads.
// REQUIRES: kVectors * n <= kVectorUnits; `inputs` <= kMaxUnit.
template <typename V, int kVectors>
KELDA_INLINE void NetInputs(const NetworkState& net, int layer, int inputs, ScratchRow& x) {
  constexpr int n = kLanes<V>;
  static_assert(kVectors * n <= kVectorUnits);
  const auto in = net.Activation.Units(layer - 1);
  const auto bias = net.Bias.Units(layer);
  std::array<V, kVectors> sum;
  KELDA_UNROLL for (int v = 0; v < kVectors; ++v) sum[v] = Load<V>(&bias[1 + v * n]);
  auto row = net.Weight.Outgoing(1, layer);
  for (int i = 1; i <= inputs; ++i, row = row.Next()) {
    const double a = in[i];
    KELDA_UNROLL for (int v = 0; v < kVectors; ++v) sum[v] = Load<V>(&row[1 + v * n]) * a + sum[v];
  }
  KELDA_UNROLL for (int v = 0; v < kVectors; ++v) Store(&x[1 + v * n], sum[v]);
}

// NetInputs on as many vectors as cover `units`, so that the sums stay in
// registers and a layer of 3 units costs no more than 3 units.
// REQUIRES: 1 <= units <= kMaxUnit.
template <typename V, int kVectors = 1>
KELDA_INLINE void NetInputsOf(const NetworkState& net, int layer, int units, int inputs,
                              ScratchRow& x) {
  if constexpr (kVectors * kLanes<V> < kMaxUnit) {
    if (units > kVectors * kLanes<V>)
      return NetInputsOf<V, kVectors + 1>(net, layer, units, inputs, x);
  }
  NetInputs<V, kVectors>(net, layer, inputs, x);
}

template <typename V, bool kWideExp>
KELDA_INLINE void ForwardLayer(NetworkState& net, int layer) {
  constexpr int n = kLanes<V>;
  const int units = net.LayerUnits(layer);
  const int inputs = net.LayerUnits(layer - 1);
  if (units < 1) return;
  ScratchRow x;
  NetInputsOf<V>(net, layer, units, inputs, x);

  // An infinity or NaN never turns finite again in a sum, so one check of
  // each net input catches an overflow in any of its steps. The units before
  // the first that overflowed are still stored, as they would be had the
  // units run one after the other.
  int finite = 0;
  while (finite < units && std::isfinite(x[finite + 1])) ++finite;

  // Whole vectors over the finite units; the lanes past them work on spare
  // values that are never stored.
  const int covered = (finite + n - 1) / n * n;
  const auto temperature = net.Temperature.Units(layer);
  ScratchRow e;
  for (int j = 1; j <= covered; j += n) {
    Store(&e[j], (-1.0 * Load<V>(&x[j])) / Load<V>(&temperature[j]));
  }
  // e^0.5 keeps the spare lanes in the exponential's main range.
  for (int j = finite + 1; j <= covered; ++j) e[j] = 0.5;
  if constexpr (kWideExp) {
    for (int j = 1; j <= covered; j += n) Store(&e[j], vec::Exp(Load<V>(&e[j])));
  } else {
    for (int j = 1; j <= finite; ++j) e[j] = std::exp(e[j]);
  }

  ScratchRow y;
  for (int j = 1; j <= covered; j += n) Store(&y[j], Output(net, Load<V>(&e[j])));
  const auto out = net.Activation.Units(layer);
  for (int j = 1; j <= finite; ++j) out[j] = Finite(y[j]);
  if (finite < units) Raise(kErrOverflow);
}

template <typename V, bool kWideExp = false>
KELDA_INLINE void Forward(NetworkState& net) {
  CheckIndices(net);
  ForwardLayer<V, kWideExp>(net, 2);
  ForwardLayer<V, kWideExp>(net, 3);
}

// ---------------------------------------------------------------------------
// Backward passes.

// row[1 .. count] = 0. The entries of UnitError's layers 1 and 2 are never
// anything but +0, so the row is first tested as a whole and left alone when
// it is clear; otherwise only the entries that are not +0 are stored (an
// unconditional loop would be turned into a string store whose start-up
// costs more than this whole loop).
template <typename V>
KELDA_INLINE void ClearRow(UnitRow<double> row, int count) {
  constexpr int n = kLanes<V>;
  using Bits = decltype(V{} == V{});  // integers of V's lane count and width
  Bits any = {};
  int j = 1;
  for (; j + n - 1 <= count; j += n) {
    Bits bits;
    std::memcpy(&bits, &row[j], sizeof bits);
    any |= bits;
  }
  uint64_t set = 0;
  for (; j <= count; ++j) set |= std::bit_cast<uint64_t>(row[j]);
  for (int k = 0; k < n; ++k) set |= static_cast<uint64_t>(any[k]);
  if (set == 0) return;
  for (j = 1; j <= count; ++j) {
    if (std::bit_cast<uint64_t>(row[j]) != 0) row[j] = 0.0;
  }
}

// The example's target scaled into the output range, left in FieldValue as
// well. FieldValue holds the raw target until the scaling succeeds.
double ScaledTarget(TargetSource& target) {
  double& field = target.FieldValue();
  field = target.CurrentTarget().ToDouble();
  const double range = Finite(target.TargetMax().ToDouble() - target.TargetMin().ToDouble());
  const double shifted = Finite(field - target.TargetMin().ToDouble());
  field = Div(shifted, range);
  return field;
}

// The two passes differ only in how an example's terms enter the
// accumulators; the rest of the pass is shared. Each rule is written once for
// single values and vectors alike.
struct MomentumFold {
  double learning_rate;
  double momentum;
  template <typename T>
  KELDA_INLINE T Bias(const T& slope, const T& delta) const {
    return learning_rate * delta + momentum * slope;
  }
  // LearningRate × δ × a groups from the left, so a row's LearningRate × δ
  // is formed once and handed to Weight as `factor`.
  KELDA_INLINE double RowFactor(double delta) const { return learning_rate * delta; }
  template <typename T>
  KELDA_INLINE T Weight(const T& slope, double factor, const T& input) const {
    return factor * input + momentum * slope;
  }
};

struct GradientFold {
  template <typename T>
  KELDA_INLINE T Bias(const T& slope, const T& delta) const {
    return slope + delta;
  }
  KELDA_INLINE double RowFactor(double delta) const { return delta; }
  template <typename T>
  KELDA_INLINE T Weight(const T& slope, double factor, const T& input) const {
    return input * factor + slope;
  }
};

// slope[i] = fold.Weight(slope[i], factor, input[i]) for i = 1 .. count, in
// order. Raises 6 at the first entry whose new value is not finite, with the
// entries before it updated and the rest untouched.
// The row is formed in registers, kVectors vectors covering entries 1 ..
// kVectors * n, and tested as a whole before any of it is stored: a failed
// test leaves the row as it was for the entry-by-entry loop, which then stops
// at the exact entry. (A sum is finite only if every term is; the converse
// failing only sends a row down the slow loop.) The lanes of the last vector
// past `count` store back the entries they read.
// REQUIRES: count <= kVectors * n <= kVectorUnits.
template <typename V, int kVectors, typename Fold>
KELDA_INLINE void FoldRow(UnitRow<double> slope, UnitRow<const double> input, int count,
                          const Fold& fold, double factor) {
  constexpr int n = kLanes<V>;
  static_assert(kVectors * n <= kVectorUnits);
  std::array<V, kVectors> row;
  KELDA_UNROLL for (int v = 0; v < kVectors; ++v) {
    row[v] = fold.Weight(Load<V>(&slope[1 + v * n]), factor, Load<V>(&input[1 + v * n]));
  }
  decltype(V{} == V{}) entry;  // the integer vector of V's lane count
  for (int k = 0; k < n; ++k) entry[k] = 1 + (kVectors - 1) * n + k;
  row[kVectors - 1] = entry <= count ? row[kVectors - 1] : Load<V>(&slope[1 + (kVectors - 1) * n]);
  V all = row[0];
  KELDA_UNROLL for (int v = 1; v < kVectors; ++v) all += row[v];
  if (AllFinite(all)) {
    KELDA_UNROLL for (int v = 0; v < kVectors; ++v) Store(&slope[1 + v * n], row[v]);
    return;
  }
  for (int i = 1; i <= count; ++i) slope[i] = Finite(fold.Weight(slope[i], factor, input[i]));
}

// FoldRow on as many vectors as cover `count` entries.
// REQUIRES: count <= kMaxUnit.
template <typename V, typename Fold, int kVectors = 1>
KELDA_INLINE void FoldRowOf(UnitRow<double> slope, UnitRow<const double> input, int count,
                            const Fold& fold, double factor) {
  if (count < 1) return;
  if constexpr (kVectors * kLanes<V> < kMaxUnit) {
    if (count > kVectors * kLanes<V>) {
      return FoldRowOf<V, Fold, kVectors + 1>(slope, input, count, fold, factor);
    }
  }
  FoldRow<V, kVectors>(slope, input, count, fold, factor);
}

// The hidden layer's deltas and folds, unit by unit in order: UnitDelta(j),
// then the bias, then the weights from the input layer. The per-unit values
// are formed for all units first, a vector at a time, and only the stores and
// checks then run unit by unit, in the order and with the failure points of
// the unit-by-unit loop.
// REQUIRES: inputs, hidden and outputs <= kMaxUnit.
template <typename V, typename Fold>
KELDA_INLINE void FoldHiddenLayer(NetworkState& net, const Fold& fold, int inputs, int hidden,
                                  int outputs) {
  const auto y = net.Activation.Units(2);
  const auto output_delta = net.UnitDelta.Units(3);
  const auto bias_slope = net.BiasSlope.Units(2);
  // Each hidden unit's weighted sum of the output deltas, over k in order.
  // Only a few outputs are usual, and each unit's weights into them lie
  // side by side, so the sums are taken unit by unit. The last vector below
  // may reach past `hidden` into the rows' spare slots: it finds zero sums
  // there and leaves unused results in the scratch rows.
  constexpr int n = kLanes<V>;
  const int covered = (hidden + n - 1) / n * n;
  ScratchRow back;
  auto weight_out = net.Weight.Outgoing(1, 3);
  for (int j = 1; j <= hidden; ++j, weight_out = weight_out.Next()) {
    double sum = 0.0;
    for (int k = 1; k <= outputs; ++k) sum = weight_out[k] * output_delta[k] + sum;
    back[j] = sum;
  }
  for (int j = hidden + 1; j <= covered; ++j) back[j] = 0.0;

  ScratchRow delta;
  ScratchRow new_bias_slope;
  V formed = {};
  for (int j = 1; j <= hidden; j += n) {
    const V yj = Load<V>(&y[j]);
    const V dj = Load<V>(&back[j]) * ((1.0 - yj) * yj);
    const V bj = fold.Bias(Load<V>(&bias_slope[j]), dj);
    Store(&delta[j], dj);
    Store(&new_bias_slope[j], bj);
    formed += dj + bj;
  }
  // When every delta and bias accumulator came out finite, the checks
  // below could not fail and are skipped. (A non-finite value survives
  // every step of the sum and the product, so checking the delta catches an
  // overflow anywhere in them.)
  const bool checked = !AllFinite(formed);

  const auto input = net.Activation.Units(1);
  const auto hidden_delta = net.UnitDelta.Units(2);
  auto row = net.WeightSlope.Incoming(1, 2);
  for (int j = 1; j <= hidden; ++j, row = row.Next()) {
    if (checked) {
      hidden_delta[j] = Finite(delta[j]);
      bias_slope[j] = Finite(new_bias_slope[j]);
    } else {
      hidden_delta[j] = delta[j];
      bias_slope[j] = new_bias_slope[j];
    }
    FoldRowOf<V>(row, input, inputs, fold, fold.RowFactor(delta[j]));
  }
}

// What each backward pass begins with. Clearing visits every unit of every
// layer, so a layer above 20 units stops the pass here, at its 21st unit,
// and the loops after it may index whole rows without checks.
template <typename V>
KELDA_INLINE void ClearUnitErrors(NetworkState& net) {
  for (int layer = 1; layer <= kMaxLayer; ++layer) {
    const int units = net.LayerUnits(layer);
    ClearRow<V>(net.UnitError.Units(layer), std::min(units, kMaxUnit));
    if (units > kMaxUnit) Raise(kErrSubscript);
  }
}

template <typename V, typename Fold>
KELDA_INLINE void BackProp(NetworkState& net, TargetSource& target, const Fold& fold) {
  ClearUnitErrors<V>(net);
  const int inputs = net.LayerUnits(1);
  const int hidden = net.LayerUnits(2);
  const int outputs = net.LayerUnits(3);
  const double span = net.OutputSpan;
  const auto hidden_out = net.Activation.Units(2);
  const auto output = net.Activation.Units(3);
  const auto output_error = net.UnitError.Units(3);
  const auto output_delta = net.UnitDelta.Units(3);
  const auto output_bias_slope = net.BiasSlope.Units(3);
  const auto output_temperature = net.Temperature.Units(3);

  for (int j = 1; j <= outputs; ++j) {
    const double y = output[j];
    const double d = Finite((1.0 - y) * (Div(span, output_temperature[j]) * y));
    const double error = Finite(ScaledTarget(target) - y);
    output_error[j] = error;
    net.ErrorSum = Finite(error * error + net.ErrorSum);
    const double delta = Finite(d * error);
    output_delta[j] = delta;
    output_bias_slope[j] = Finite(fold.Bias(output_bias_slope[j], delta));
    FoldRowOf<V>(net.WeightSlope.Incoming(j, 3), hidden_out, hidden, fold, fold.RowFactor(delta));
  }
  FoldHiddenLayer<V>(net, fold, inputs, hidden, outputs);
}

// ---------------------------------------------------------------------------
// Both backward passes in one sweep.
//
// BackPropMomentum and then BackPropGradient read and write every
// accumulator of the example twice. Where nothing overflows, the same
// results come from one sweep that folds each accumulator both ways in
// registers, the momentum fold and then the gradient fold, and stores it
// once: the deltas and errors are the same in both passes, and only the
// accumulators and ErrorSum carry from one pass into the other. The sweep
// keeps each weight row as it was in a backup; should any stored value come
// out not finite, it puts every row back and leaves the example to the two
// passes, which then stop where and as they always do.

// A weight row's accumulators folded both ways: the momentum fold with
// `momentum_factor`, then the gradient fold with `delta`. The row as it was
// goes to `backup`, and `sum` gains the new values, lane by lane, for one
// finiteness check at the end. Lanes past `count` keep their entries.
// REQUIRES: count <= kVectors * n <= kVectorUnits.
template <typename V, int kVectors>
KELDA_INLINE void SweepRow(UnitRow<double> slope, UnitRow<const double> input, int count,
                           const MomentumFold& momentum, double momentum_factor, double delta,
                           ScratchRow& backup, std::array<V, kVectors>& sum) {
  constexpr int n = kLanes<V>;
  static_assert(kVectors * n <= kVectorUnits);
  const GradientFold gradient;
  KELDA_UNROLL for (int v = 0; v < kVectors; ++v) {
    const V old = Load<V>(&slope[1 + v * n]);
    const V in = Load<V>(&input[1 + v * n]);
    V folded = gradient.Weight(momentum.Weight(old, momentum_factor, in), delta, in);
    if (v == kVectors - 1) {
      vec::Ints<V> entry;
      for (int k = 0; k < n; ++k) entry[k] = 1 + v * n + k;
      folded = entry <= count ? folded : old;
    }
    Store(&backup[1 + v * n], old);
    Store(&slope[1 + v * n], folded);
    sum[v] += folded;
  }
}

// SweepRow on as many vectors as cover `count` entries; `all_finite` turns
// false when a stored value may not be finite.
// REQUIRES: count <= kMaxUnit.
template <typename V, int kVectors = 1>
KELDA_INLINE void SweepRows(UnitRow<double> first, int rows, UnitRow<const double> input, int count,
                            const MomentumFold& momentum, const ScratchRow& delta,
                            ScratchRow* backup, bool& all_finite) {
  if (count < 1 || rows < 1) return;
  if constexpr (kVectors * kLanes<V> < kMaxUnit) {
    if (count > kVectors * kLanes<V>) {
      return SweepRows<V, kVectors + 1>(first, rows, input, count, momentum, delta, backup,
                                        all_finite);
    }
  }
  std::array<V, kVectors> sum{};
  UnitRow<double> row = first;
  for (int j = 1; j <= rows; ++j, row = row.Next()) {
    SweepRow<V, kVectors>(row, input, count, momentum, momentum.RowFactor(delta[j]), delta[j],
                          backup[j], sum);
  }
  V all = sum[0];
  KELDA_UNROLL for (int v = 1; v < kVectors; ++v) all += sum[v];
  all_finite = all_finite && AllFinite(all);
}

// Puts back the rows SweepRows changed.
void RestoreRows(UnitRow<double> first, int rows, int count, const ScratchRow* backup) {
  UnitRow<double> row = first;
  for (int j = 1; j <= rows; ++j, row = row.Next()) {
    for (int i = 1; i <= count; ++i) row[i] = backup[j].slots[i - 1];
  }
}

// Both passes for the example in one sweep, or false, with nothing changed
// but the clearing both passes begin with, when the two passes must run one
// after the other. Raises what the momentum pass would raise first when
// that happens before it stores anything.
template <typename V>
KELDA_INLINE bool SweepBackProp(NetworkState& net, TargetSource& target) {
  ClearUnitErrors<V>(net);
  const int inputs = net.LayerUnits(1);
  const int hidden = net.LayerUnits(2);
  const int outputs = net.LayerUnits(3);
  if (outputs < 1) return false;
  const MomentumFold momentum{net.LearningRate, net.Momentum};
  const GradientFold gradient;
  const double span = net.OutputSpan;
  const auto output = net.Activation.Units(3);
  const auto output_temperature = net.Temperature.Units(3);

  // The momentum pass's first steps, up to the target: the pass raises here
  // exactly when the sweep does.
  ScratchRow d;
  bool finite = true;
  for (int j = 1; j <= outputs; ++j) {
    if (output_temperature[j] == 0.0) return false;
    const double y = output[j];
    d[j] = (1.0 - y) * ((span / output_temperature[j]) * y);
    finite = finite && std::isfinite(d[j]);
  }
  if (!finite) return false;
  const double scaled_target = ScaledTarget(target);

  ScratchRow error, delta, bias_slope;
  double error_sum = net.ErrorSum;
  const auto output_bias_slope = net.BiasSlope.Units(3);
  for (int j = 1; j <= outputs; ++j) {
    error[j] = scaled_target - output[j];
    delta[j] = d[j] * error[j];
    bias_slope[j] = gradient.Bias(momentum.Bias(output_bias_slope[j], delta[j]), delta[j]);
    finite = finite && std::isfinite(error[j]) && std::isfinite(delta[j]) &&
             std::isfinite(bias_slope[j]);
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (int j = 1; j <= outputs; ++j) error_sum = error[j] * error[j] + error_sum;
  }
  finite = finite && std::isfinite(error_sum);
  if (!finite) return false;

  // The hidden deltas, as FoldHiddenLayer forms them.
  ScratchRow hidden_delta, hidden_bias_slope;
  const auto y = net.Activation.Units(2);
  const auto hidden_bias = net.BiasSlope.Units(2);
  auto weight_out = net.Weight.Outgoing(1, 3);
  for (int j = 1; j <= hidden; ++j, weight_out = weight_out.Next()) {
    double sum = 0.0;
    for (int k = 1; k <= outputs; ++k) sum = weight_out[k] * delta[k] + sum;
    hidden_delta[j] = sum * ((1.0 - y[j]) * y[j]);
    hidden_bias_slope[j] =
        gradient.Bias(momentum.Bias(hidden_bias[j], hidden_delta[j]), hidden_delta[j]);
    finite = finite && std::isfinite(hidden_delta[j]) && std::isfinite(hidden_bias_slope[j]);
  }
  if (!finite) return false;

  std::array<ScratchRow, kUnitSlots> output_backup, hidden_backup;
  const auto output_rows = net.WeightSlope.Incoming(1, 3);
  const auto hidden_rows = net.WeightSlope.Incoming(1, 2);
  SweepRows<V>(output_rows, outputs, y, hidden, momentum, delta, output_backup.data(), finite);
  SweepRows<V>(hidden_rows, hidden, net.Activation.Units(1), inputs, momentum, hidden_delta,
               hidden_backup.data(), finite);
  if (!finite) {
    RestoreRows(output_rows, outputs, hidden, output_backup.data());
    RestoreRows(hidden_rows, hidden, inputs, hidden_backup.data());
    return false;
  }

  net.ErrorSum = error_sum;
  const auto output_error = net.UnitError.Units(3);
  const auto output_delta = net.UnitDelta.Units(3);
  for (int j = 1; j <= outputs; ++j) {
    output_error[j] = error[j];
    output_delta[j] = delta[j];
    output_bias_slope[j] = bias_slope[j];
  }
  const auto stored_hidden_delta = net.UnitDelta.Units(2);
  for (int j = 1; j <= hidden; ++j) {
    stored_hidden_delta[j] = hidden_delta[j];
    hidden_bias[j] = hidden_bias_slope[j];
  }
  return true;
}

// ---------------------------------------------------------------------------
// Choice of vector width.

// GCC cannot keep the stack aligned for 32-byte vectors on 64-bit Windows,
// so the wide passes are left to the other x86-64 systems.
#if defined(__x86_64__) && !defined(_WIN32)
#define KELDA_WIDE_PASSES 1

bool UseQuads(const NetworkState& net) {
  static const bool has_quads = vec::HasQuads();
  return has_quads && net.VectorLanes >= 4;
}

bool UseWideExp() {
  static const bool agrees = vec::WideExpAgrees();
  return agrees;
}

[[gnu::target("avx2,fma")]] void ForwardQuad(NetworkState& net) {
  if (UseWideExp()) return Forward<Quad, true>(net);
  Forward<Quad>(net);
}

template <typename Fold>
[[gnu::target("avx2,fma")]] void BackPropQuad(NetworkState& net, TargetSource& target,
                                              const Fold& fold) {
  BackProp<Quad>(net, target, fold);
}

[[gnu::target("avx2,fma")]] bool SweepBackPropQuad(NetworkState& net, TargetSource& target) {
  return SweepBackProp<Quad>(net, target);
}
#endif

bool RunSweep(NetworkState& net, TargetSource& target) {
#if defined(KELDA_WIDE_PASSES)
  if (UseQuads(net)) return SweepBackPropQuad(net, target);
#endif
  return SweepBackProp<Pair>(net, target);
}

template <typename Fold>
void RunBackProp(NetworkState& net, TargetSource& target, const Fold& fold) {
#if defined(KELDA_WIDE_PASSES)
  if (UseQuads(net)) return BackPropQuad(net, target, fold);
#endif
  BackProp<Pair>(net, target, fold);
}

}  // namespace

void Sigmoid(const NetworkState& net, double& value, const double& temperature) {
  const double z = (-1.0 * value) / temperature;
  value = Output(net, std::exp(z));
}

void ForwardPass(NetworkState& net) {
#if defined(KELDA_WIDE_PASSES)
  if (UseQuads(net)) return ForwardQuad(net);
#endif
  Forward<Pair>(net);
}

void BackPropMomentum(NetworkState& net, TargetSource& target) {
  RunBackProp(net, target, MomentumFold{net.LearningRate, net.Momentum});
}

void BackPropGradient(NetworkState& net, TargetSource& target) {
  RunBackProp(net, target, GradientFold{});
}

void BackPropMomentumThenGradient(NetworkState& net, TargetSource& target) {
  if (RunSweep(net, target)) return;
  BackPropMomentum(net, target);
  BackPropGradient(net, target);
}

}  // namespace kelda::engine
