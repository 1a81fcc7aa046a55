// Run set-up: the learning parameters of a run, the scaling ranges of every
// column, the layer sizes, and the scaling rule between column values and
// the network's working range 0 .. 1.
#pragma once

#include <string>

#include "data/database.h"
#include "engine/network_state.h"
#include "training/object_fields.h"

namespace kelda::training {

// Before the columns are known: InitWeights (with the InitialTemperature the
// thread holds now), ReportInterval 10, HiddenLayerCount 0 -> 20, the four
// range arrays sized 0 .. RecordCount and zeroed (element RecordCount of the
// target arrays stays Empty), then LearningRate 0.15f, Momentum 0.9f,
// HiddenUnits 20, InitialTemperature 2. Raises 7 when the range arrays do
// not fit in memory.
void PrepareRun(engine::NetworkState& net, ObjectFields& fields);

// Minimum and maximum of every input column (into InputMin / InputMax
// j + 1, converted to double: 94 for a column without values, 13 for text
// that is not a number) and of the target (into TargetMin / TargetMax 1, as
// they come), each by its own query on `db`. Numbers stored as text are
// ranged by their numeric values, never by text order. Raises 9 when an
// input's index passes RecordCount.
void QueryRanges(data::Database& db, ObjectFields& fields, const std::string& target_name);

// Layer sizes from the table: InputUnits = FieldCount - 1, PatternEnd =
// RecordCount (6 above 32767), one output unit, hidden layer
// min(20, HiddenUnits), OutputSpan = OutputHigh - OutputLow.
void SizeNetwork(engine::NetworkState& net, const ObjectFields& fields, int field_count);

// The range query texts.
std::string MinQuery(const std::string& column, const std::string& alias, const std::string& table);
std::string MaxQuery(const std::string& column, const std::string& alias, const std::string& table);

// Scaling rule. Input column j - 1's value x -> (x - InputMin(j)) / (InputMax(j)
// - InputMin(j)); 0 / 0 raises 6 (a constant column), a non-finite step 6.
double ScaleInput(const ObjectFields& fields, int j, double x);
// Output unit value y -> y * (TargetMax(1) - TargetMin(1)) + TargetMin(1), in
// the target column's units; 94 when the target column had no value.
double UnscaleOutput(const ObjectFields& fields, double y);

}  // namespace kelda::training
