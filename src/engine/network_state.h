// The network's whole state: layer sizes, unit values, weights, biases,
// temperatures, per-epoch accumulators, learning parameters and the epoch's
// error sum. One NetworkState lives in each thread's block and is shared by
// every Network object of that thread; the engine's procedures are plain
// functions over it.
//
// Table layout: layers 0..3 and units 0..20. Layer 0 and unit 0 exist but are
// never used; the working layers are 1 (input), 2 (hidden) and 3 (output).
// Counting from 1 lets every index read as the count it is: unit j of layer
// L is (j, L), LayerUnits(L) is also the last unit in use, layer L reads
// layer L - 1, and the 21st unit of a layer is index 21, where the check
// raises error 9. Shifting every index by one in every loop would buy nothing
// but a chance of being off by one.
//
// Every index given to operator() is checked: one outside its bounds raises
// error 9. Units(), Incoming() and Outgoing() hand out a whole row for the
// hot loops, which validate their bounds once instead.
//
// In memory a row is 24 doubles, three cache lines, and starts on one: units
// 1..20 in its first 20 slots, unit 0 in the last. The passes' vectors, which
// start at unit 1, then never straddle two lines, and whole vectors over a
// layer's units stay inside its row.
//   UnitTable   (unit j, layer L)               -> row L
//   weight tables (from unit i, to unit j, layer L)
//     by destination (the accumulators)         -> row L * 21 + j, slot of i
//     by source (Weight)                        -> row L * 21 + i, slot of j
// so that each pass finds the entries it uses together side by side.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "base/error.h"
#include "engine/random_source.h"

namespace kelda::engine {

inline constexpr int kMaxUnit = 20;  // units 0..20
inline constexpr int kMaxLayer = 3;  // layers 0..3
inline constexpr int kUnitSlots = kMaxUnit + 1;
inline constexpr int kLayerSlots = kMaxLayer + 1;
// Units a row's whole vectors may cover: 1..kVectorUnits.
inline constexpr int kVectorUnits = 24;
inline constexpr int kRowSlots = kVectorUnits;

// Where unit `unit` (0..20) lies in its row.
constexpr int SlotOf(int unit) { return (unit + kRowSlots - 1) % kRowSlots; }

// One row of a table, indexed by unit. Units 21..24 are the row's spare
// slots (24 is unit 0's), there so that whole vectors may cover them.
// REQUIRES (of every index): 1 <= unit <= kVectorUnits.
template <typename T>
class UnitRow {
 public:
  explicit UnitRow(T* unit1) : unit1_(unit1) {}
  operator UnitRow<const T>() const { return UnitRow<const T>(unit1_); }
  T& operator[](int unit) const { return unit1_[unit - 1]; }
  // The row of the next unit of the same table and layer.
  UnitRow Next() const { return UnitRow(unit1_ + kRowSlots); }

 private:
  T* unit1_;
};

// A row of its own, laid out like a table's, for values a pass forms before
// it stores them.
struct ScratchRow {
  double& operator[](int unit) { return slots[unit - 1]; }
  double operator[](int unit) const { return slots[unit - 1]; }
  alignas(64) std::array<double, kRowSlots> slots;
};

class UnitTable {
 public:
  double& operator()(int unit, int layer) { return data_[Index(unit, layer)]; }
  double operator()(int unit, int layer) const { return data_[Index(unit, layer)]; }
  void Fill(double v) { data_.fill(v); }

  // The row of one layer. Only the layer is checked: the per-example passes
  // validate their unit bounds once on entry and then index thousands of
  // entries per example, where a check at every index would cost more than
  // the arithmetic.
  UnitRow<double> Units(int layer) { return UnitRow<double>(&data_[Index(1, layer)]); }
  UnitRow<const double> Units(int layer) const {
    return UnitRow<const double>(&data_[Index(1, layer)]);
  }

 private:
  static int Index(int unit, int layer) {
    if (unit < 0 || unit > kMaxUnit || layer < 0 || layer > kMaxLayer) Raise(kErrSubscript);
    return layer * kRowSlots + SlotOf(unit);
  }
  alignas(64) std::array<double, kRowSlots * kLayerSlots> data_{};
};

// A weight table in one of two row orders. Ordered by destination, the
// entries of one row are the weights (or accumulators) into one unit, as the
// backward passes' folds walk them; ordered by source, they are the weights
// out of one unit into every unit of the next layer, as the forward pass
// walks them while it sums the units of a layer side by side. The order is
// invisible through operator(), which takes (from, to, layer) either way.
enum class WeightRows { kByDestination, kBySource };

template <WeightRows kRows>
class BasicWeightTable {
 public:
  double& operator()(int from, int to, int layer) { return data_[Index(from, to, layer)]; }
  double operator()(int from, int to, int layer) const { return data_[Index(from, to, layer)]; }
  void Fill(double v) { data_.fill(v); }

  // The entries into unit `to` of `layer`, indexed by the unit they come
  // from (ordered by destination), or out of unit `from` of layer - 1,
  // indexed by the unit they go to (ordered by source). The row's unit and
  // `layer` are checked, the caller's indices are not (see UnitTable::Units);
  // Next() steps to the row of the next unit.
  UnitRow<double> Incoming(int to, int layer) requires(kRows == WeightRows::kByDestination) {
    return UnitRow<double>(&data_[Index(1, to, layer)]);
  }
  UnitRow<const double> Incoming(int to, int layer) const
      requires(kRows == WeightRows::kByDestination) {
    return UnitRow<const double>(&data_[Index(1, to, layer)]);
  }
  UnitRow<const double> Outgoing(int from, int layer) const
      requires(kRows == WeightRows::kBySource) {
    return UnitRow<const double>(&data_[Index(from, 1, layer)]);
  }

 private:
  static int Index(int from, int to, int layer) {
    if (from < 0 || from > kMaxUnit || to < 0 || to > kMaxUnit || layer < 0 || layer > kMaxLayer) {
      Raise(kErrSubscript);
    }
    if constexpr (kRows == WeightRows::kBySource)
      return (layer * kUnitSlots + from) * kRowSlots + SlotOf(to);
    return (layer * kUnitSlots + to) * kRowSlots + SlotOf(from);
  }
  alignas(64) std::array<double, kRowSlots * kUnitSlots * kLayerSlots> data_{};
};

using WeightTable = BasicWeightTable<WeightRows::kByDestination>;

// Layer sizes, indices 0..3 checked like the other tables.
class LayerSizes {
 public:
  int16_t& operator()(int layer) { return data_[Index(layer)]; }
  int16_t operator()(int layer) const { return data_[Index(layer)]; }

 private:
  static int Index(int layer) {
    if (layer < 0 || layer > kMaxLayer) Raise(kErrSubscript);
    return layer;
  }
  std::array<int16_t, kLayerSlots> data_{};
};

// Everything starts at zero, as when a thread first uses the component.
// Learning parameters are single precision and are widened exactly wherever
// they take part in arithmetic.
struct NetworkState {
  LayerSizes LayerUnits;
  UnitTable Activation;
  // By source: during an epoch the weights are only read, nearly all of
  // them by the forward pass.
  BasicWeightTable<WeightRows::kBySource> Weight;
  UnitTable Bias;
  UnitTable Temperature;
  WeightTable WeightSlope;
  UnitTable BiasSlope;
  WeightTable WeightStep;
  UnitTable BiasStep;
  UnitTable UnitError;
  UnitTable UnitDelta;

  float OutputHigh = 0.0f;
  float OutputLow = 0.0f;
  float OutputSpan = 0.0f;
  float InitialTemperature = 0.0f;
  float LearningRate = 0.0f;
  float Momentum = 0.0f;
  float WeightInitHigh = 0.0f;
  float WeightInitLow = 0.0f;
  float BiasInitHigh = 0.0f;
  float BiasInitLow = 0.0f;
  double ErrorSum = 0.0;
  int16_t CurrentPattern = 0;
  int16_t InputUnits = 0;
  float HiddenUnits = 0.0f;
  int16_t OutputUnits = 0;
  int16_t PatternEnd = 0;
  int16_t ReportInterval = 0;
  int16_t EpochsSinceReport = 0;

  // The random source of InitWeights. With a fixed seed every InitWeights
  // re-seeds with it (the same draws every time); without one it re-seeds
  // from the clock.
  RandomSource Random;
  std::optional<uint64_t> FixedSeed;

  // The widest vectors, in doubles (2 or 4), that the per-example passes
  // may run on; they run on the widest of those the processor has. The
  // results are the same to the bit whatever the width; the tests lower this
  // to cover each width.
  int VectorLanes = 4;
};

}  // namespace kelda::engine
