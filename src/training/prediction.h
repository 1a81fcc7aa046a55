// Prediction write-back: the trained network's prediction for every counted
// row of the training table, stored into the row's column `Actual`.
#pragma once

#include "data/database.h"
#include "data/object_fields.h"
#include "engine/network_state.h"

namespace kelda::relevance {

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
void StorePrediction(const engine::NetworkState& net, const data::ObjectFields& fields,
                     data::Recordset& cursor);

// Runs the network over rows 1 .. RecordCount - 1 of the table, from the
// first, and stores each prediction. Returns false, touching nothing, when
// MSAccessDBName is empty. Raises on a Null or non-numeric input (including
// rows after the examples), a constant input column, and a table shorter
// than counted (3021); rows already stored keep their new values.
bool WritePredictions(data::DBEngine& engine, engine::NetworkState& net,
                      data::ObjectFields& fields);

}  // namespace kelda::relevance
