// Predictions: how a row of a table becomes the network's prediction stored
// in the row's column `Actual`. One path for the report epochs of a training
// run, the final write-back, the relevance analysis and a saved network
// predicting another table.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
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

// Where predictions go: column `Actual` of the rows of one table. The one
// writer of the report epochs, the final write-back, the relevance analysis
// and a saved network's predictions; it hides how a row is reached and how
// rows are committed.
//
// A row is reached by its key (data::Recordset::UpdateRow) when the caller
// knows the keys of the rows it writes: nothing is read then, and the cursor
// need not move. Otherwise the row is the one the cursor stands on, which
// the caller steps (Keyed() tells which).
class PredictionWriter {
 public:
  // `cursor`: an updatable Recordset over the table, on `db`; both must
  // outlive the writer. `keys`: the keys of the rows written, row r of
  // Store being (*keys)[r], or null to write the cursor's current row.
  // `window`: the rows are committed in groups of that span
  // (data::Database::GroupUpdates); nullopt commits each row as it is
  // stored. Raises 3265 when the table has no column `Actual`.
  PredictionWriter(data::Database& db, data::Recordset& cursor,
                   std::shared_ptr<const data::RowIds> keys,
                   std::optional<std::chrono::milliseconds> window);

  bool Keyed() const { return keys_ != nullptr; }

  // Stores the network's current output, Activation(1, 3) brought back into
  // the target's units (StoredPrediction), into row `row`. REQUIRES: Keyed()
  // and row < keys->size(), or the cursor stands on the row. Raises 94 when
  // the target column had no value, and the database's errors (3021 for a
  // row that is gone).
  void Store(const engine::NetworkState& net, const ObjectFields& fields, size_t row);

  // What the row last stored holds now, as the database reads it back.
  Value LastStored() const;

  // Commits the open group, if any; later rows are committed one by one.
  void Commit();

 private:
  data::Database& db_;
  data::Recordset& cursor_;
  std::shared_ptr<const data::RowIds> keys_;
  int actual_ = 0;
  Value last_;  // what the row last stored by its key holds
  bool last_by_key_ = false;
};

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
