// The per-example procedures: Sigmoid, ForwardPass and the two backward
// passes. Together they are nearly all of an epoch's time, so they share the
// vector code below.
//
// The loops run on short vectors of doubles worked lane by lane: every lane
// performs the same IEEE operations, in the same order, as the scalar code
// would, so every result is the same to the bit whatever the vector width.
// Vectors only ever run across independent entries (units, or the entries of
// a row), never along a sum. Pairs are what every x86-64 has; where the
// processor has AVX2 the passes run compiled for it, on vectors of four.
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

#define KELDA_INLINE [[gnu::always_inline]] inline
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wunknown-warning-option"
#endif
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelda::engine {

namespace {

constexpr int kMaxPattern = 5000;

typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));

template <typename V>
constexpr int kLanes = sizeof(V) / sizeof(double);

template <typename V>
KELDA_INLINE V Load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename V>
KELDA_INLINE void Store(double* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

// False when a lane is an infinity or NaN: x - x is NaN for those and 0 for
// any finite x. Given a sum of several values, a false alarm is possible; it
// only sends the caller down its entry-by-entry path.
template <typename V>
KELDA_INLINE bool AllFinite(const V& v) {
  double x = v[0];
  for (int k = 1; k < kLanes<V>; ++k) x += v[k];
  return x - x == 0.0;
}

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

// Net inputs of `kVectors` vectors of units from `first` on, each unit's sum
// taken bias first and then over i = 1, 2, ... in that order. One sum waits
// on each of its additions in turn; sums side by side keep the pipeline full.
// REQUIRES: the units and `inputs` within 1 .. kMaxUnit.
template <typename V, int kVectors>
KELDA_INLINE void NetInputs(NetworkState& net, int layer, int first, int inputs, double* x) {
  constexpr int n = kLanes<V>;
  const auto in = net.Activation.Units(layer - 1);
  std::array<const double*, kVectors * n> weight;
  for (int u = 0; u < kVectors * n; ++u) weight[u] = net.Weight.Incoming(first + u, layer).data();
  std::array<V, kVectors> sum;
  for (int v = 0; v < kVectors; ++v) sum[v] = Load<V>(&net.Bias.Units(layer)[first + v * n]);
  for (int i = 1; i <= inputs; ++i) {
    const double a = in[i];
    for (int v = 0; v < kVectors; ++v) {
      V w;
      for (int k = 0; k < n; ++k) w[k] = weight[v * n + k][i];
      sum[v] = w * a + sum[v];
    }
  }
  for (int v = 0; v < kVectors; ++v) Store(&x[first + v * n], sum[v]);
}

// REQUIRES: j and `inputs` within 1 .. kMaxUnit.
KELDA_INLINE double NetInput(NetworkState& net, int layer, int j, int inputs) {
  const auto in = net.Activation.Units(layer - 1);
  const auto w = net.Weight.Incoming(j, layer);
  double sum = net.Bias(j, layer);
  for (int i = 1; i <= inputs; ++i) sum = w[i] * in[i] + sum;
  return sum;
}

template <typename V>
KELDA_INLINE void ForwardLayer(NetworkState& net, int layer) {
  constexpr int n = kLanes<V>;
  const int units = net.LayerUnits(layer);
  const int inputs = net.LayerUnits(layer - 1);
  std::array<double, kUnitSlots> x;
  int j = 1;
  for (; j + 2 * n - 1 <= units; j += 2 * n) NetInputs<V, 2>(net, layer, j, inputs, x.data());
  for (; j + n - 1 <= units; j += n) NetInputs<V, 1>(net, layer, j, inputs, x.data());
  for (; j <= units; ++j) x[j] = NetInput(net, layer, j, inputs);

  // An infinity or NaN never turns finite again in a sum, so one check of
  // each net input catches an overflow in any of its steps. The units before
  // the first that overflowed are still stored, as they would be had the
  // units run one after the other.
  int finite = 0;
  while (finite < units && std::isfinite(x[finite + 1])) ++finite;

  const auto temperature = net.Temperature.Units(layer);
  std::array<double, kUnitSlots> e;
  for (j = 1; j + n - 1 <= finite; j += n) {
    Store(&e[j], (-1.0 * Load<V>(&x[j])) / Load<V>(&temperature[j]));
  }
  for (; j <= finite; ++j) e[j] = (-1.0 * x[j]) / temperature[j];
  for (j = 1; j <= finite; ++j) e[j] = std::exp(e[j]);

  std::array<double, kUnitSlots> y;
  for (j = 1; j + n - 1 <= finite; j += n) Store(&y[j], Output(net, Load<V>(&e[j])));
  for (; j <= finite; ++j) y[j] = Output(net, e[j]);
  const auto out = net.Activation.Units(layer);
  for (j = 1; j <= finite; ++j) out[j] = Finite(y[j]);
  if (finite < units) Raise(kErrOverflow);
}

template <typename V>
KELDA_INLINE void Forward(NetworkState& net) {
  CheckIndices(net);
  ForwardLayer<V>(net, 2);
  ForwardLayer<V>(net, 3);
}

// ---------------------------------------------------------------------------
// Backward passes.

// row[1 .. count] = 0. Only entries that are not already +0 are stored: the
// entries of UnitError's layers 1 and 2 are never anything else, and an
// unconditional loop would be turned into a string store whose start-up
// costs more than this whole loop.
template <typename V>
KELDA_INLINE void ClearRow(double* row, int count) {
  constexpr int n = kLanes<V>;
  int j = 1;
  for (; j + n - 1 <= count; j += n) {
    std::array<uint64_t, n> bits;
    std::memcpy(bits.data(), &row[j], sizeof bits);
    uint64_t any = bits[0];
    for (int k = 1; k < n; ++k) any |= bits[k];
    if (any != 0) Store(&row[j], V{});
  }
  for (; j <= count; ++j) {
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
// REQUIRES: count <= kMaxUnit (the pass has validated the layer sizes).
template <typename V, typename Fold>
KELDA_INLINE void FoldRow(double* slope, const double* input, int count, const Fold& fold,
                          double factor) {
  // Four vectors at a time are formed in registers and tested together
  // before any is stored, so a failed test leaves them as they were, and the
  // narrower loops below then stop at the exact entry. (A sum is finite only
  // if every term is.)
  constexpr int n = kLanes<V>;
  int i = 1;
  for (; i + 4 * n - 1 <= count; i += 4 * n) {
    const V v0 = fold.Weight(Load<V>(&slope[i]), factor, Load<V>(&input[i]));
    const V v1 = fold.Weight(Load<V>(&slope[i + n]), factor, Load<V>(&input[i + n]));
    const V v2 = fold.Weight(Load<V>(&slope[i + 2 * n]), factor, Load<V>(&input[i + 2 * n]));
    const V v3 = fold.Weight(Load<V>(&slope[i + 3 * n]), factor, Load<V>(&input[i + 3 * n]));
    if (!AllFinite((v0 + v1) + (v2 + v3))) break;
    Store(&slope[i], v0);
    Store(&slope[i + n], v1);
    Store(&slope[i + 2 * n], v2);
    Store(&slope[i + 3 * n], v3);
  }
  for (; i + n - 1 <= count; i += n) {
    const V v = fold.Weight(Load<V>(&slope[i]), factor, Load<V>(&input[i]));
    if (!AllFinite(v)) break;
    Store(&slope[i], v);
  }
  if constexpr (n > 2) {
    for (; i + 1 <= count; i += 2) {
      const Pair v = fold.Weight(Load<Pair>(&slope[i]), factor, Load<Pair>(&input[i]));
      if (!AllFinite(v)) break;
      Store(&slope[i], v);
    }
  }
  for (; i <= count; ++i) slope[i] = Finite(fold.Weight(slope[i], factor, input[i]));
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
  std::array<const double*, kUnitSlots> weight_out;  // per output unit k, indexed by j
  for (int k = 1; k <= outputs; ++k) weight_out[k] = net.Weight.Incoming(k, 3).data();

  // The last vector may reach past `hidden`, never past unit 20: it reads
  // spare entries and leaves unused results in these scratch rows.
  std::array<double, kUnitSlots> delta;
  std::array<double, kUnitSlots> new_bias_slope;
  for (int j = 1; j <= hidden; j += kLanes<V>) {
    const V yj = Load<V>(&y[j]);
    V sum = {};
    for (int k = 1; k <= outputs; ++k) sum = Load<V>(&weight_out[k][j]) * output_delta[k] + sum;
    const V dj = sum * ((1.0 - yj) * yj);
    Store(&delta[j], dj);
    Store(&new_bias_slope[j], fold.Bias(Load<V>(&bias_slope[j]), dj));
  }

  const double* input = net.Activation.Units(1).data();
  const auto hidden_delta = net.UnitDelta.Units(2);
  for (int j = 1; j <= hidden; ++j) {
    // A non-finite value survives every step of the sum and the product, so
    // checking the delta catches an overflow anywhere in them.
    hidden_delta[j] = Finite(delta[j]);
    bias_slope[j] = Finite(new_bias_slope[j]);
    FoldRow<V>(net.WeightSlope.Incoming(j, 2).data(), input, inputs, fold,
               fold.RowFactor(delta[j]));
  }
}

template <typename V, typename Fold>
KELDA_INLINE void BackProp(NetworkState& net, TargetSource& target, const Fold& fold) {
  // Clearing visits every unit of every layer, so a layer above 20 units
  // stops the pass here, at its 21st unit, and the loops below may index
  // whole rows without checks.
  for (int layer = 1; layer <= kMaxLayer; ++layer) {
    const int units = net.LayerUnits(layer);
    ClearRow<V>(net.UnitError.Units(layer).data(), std::min(units, kMaxUnit));
    if (units > kMaxUnit) Raise(kErrSubscript);
  }
  const int inputs = net.LayerUnits(1);
  const int hidden = net.LayerUnits(2);
  const int outputs = net.LayerUnits(3);
  const double span = net.OutputSpan;
  const double* hidden_out = net.Activation.Units(2).data();
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
    FoldRow<V>(net.WeightSlope.Incoming(j, 3).data(), hidden_out, hidden, fold,
               fold.RowFactor(delta));
  }
  FoldHiddenLayer<V>(net, fold, inputs, hidden, outputs);
}

// ---------------------------------------------------------------------------
// Choice of vector width.

#if defined(__x86_64__)
bool UseQuads(const NetworkState& net) {
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  return has_avx2 && !net.NarrowVectors;
}

__attribute__((target("avx2"))) void ForwardQuad(NetworkState& net) { Forward<Quad>(net); }

template <typename Fold>
__attribute__((target("avx2"))) void BackPropQuad(NetworkState& net, TargetSource& target,
                                                  const Fold& fold) {
  BackProp<Quad>(net, target, fold);
}
#endif

template <typename Fold>
void RunBackProp(NetworkState& net, TargetSource& target, const Fold& fold) {
#if defined(__x86_64__)
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
#if defined(__x86_64__)
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

}  // namespace kelda::engine
