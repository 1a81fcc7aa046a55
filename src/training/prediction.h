// Predictions: how a row of a table becomes the network's prediction stored
// in the row's column `Actual`. One path for the report epochs of a training
// run, the final write-back, the relevance analysis and a saved network
// predicting another table.
#pragma once

#include <span>

#include "data/database.h"
#include "engine/network_state.h"
#include "training/object_fields.h"

namespace kelda::training {

// Loads the current row of `source` into the input layer: input unit k + 1
// takes field k of the row (k = 0 .. count - 1), as a double, scaled with
// the range of input column k (fields.FieldValue holds each value, raw and
// then scaled, as it goes); the unit of column `withheld` (-1: none) is set
// to 0, its value still read and scaled. Units above `count` keep their
// values. Raises 94 / 13 for a Null or non-numeric input, 6 for a constant
// column, 9 for more than 20 input columns.
void LoadInputs(engine::NetworkState& net, ObjectFields& fields, const data::Recordset& source,
                int count, int withheld = -1);

// The same from the row's input values as read (`raw[k]` for column k, as a
// double), for a caller that holds the rows in memory.
void LoadInputs(engine::NetworkState& net, ObjectFields& fields, std::span<const double> raw,
                int withheld);

// The same with input unit k + 1 taking field `columns[k]` of the row, for a
// table whose input columns stand elsewhere.
void LoadInputs(engine::NetworkState& net, ObjectFields& fields, const data::Recordset& source,
                std::span<const int> columns);

// The number stored for a prediction v (in the target column's units): v
// itself from 0.1 up; below 0.1 the number that v's four-decimal text
// (".####") denotes, i.e. v rounded to four decimals, whatever the locale;
// 0 where that text would hold no digit, and 0 for v = 0.
double StoredPrediction(double v);

// Stores the network's current output, Activation(1, 3) brought back into
// the target's units, into `Actual` of the current row of `cursor`, and
// commits the row. REQUIRES: `cursor` is an updatable cursor over the
// training table standing on a row. Raises 94 when the target column had no
// value, and the database's errors.
void StorePrediction(const engine::NetworkState& net, const ObjectFields& fields,
                     data::Recordset& cursor);

// The same stored into field `actual` of the row whose rowid is `rowid`,
// through `table` without moving its cursor (data::Recordset::UpdateRow): for
// a writer that knows its rows' keys and need not read them. Returns the
// value as the row now holds it.
Value StorePrediction(const engine::NetworkState& net, const ObjectFields& fields,
                      data::Recordset& table, int actual, int64_t rowid);

// Runs the network over rows 1 .. RecordCount - 1 of the table, from the
// first, and stores each prediction, committed in groups (the engine's
// CommitWindow). Returns false, touching nothing, when
// MSAccessDBName is empty. Raises on a Null or non-numeric input (including
// rows after the examples), a constant input column, a table shorter than
// counted (3021), and a file another program has vacuumed or whose schema
// it has changed since the run counted the rows (3197, before the first
// row); rows already stored keep their new values.
bool WritePredictions(data::DBEngine& engine, engine::NetworkState& net, ObjectFields& fields);

}  // namespace kelda::training
