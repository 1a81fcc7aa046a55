// The per-object state of a Network: its four properties and what a training
// run learns about its table. Each object has its own; everything starts
// zero, empty or unset. The training table access, the run set-up, the
// training run and the relevance analysis read and write it by these names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/checked.h"
#include "base/checked_array.h"
#include "base/value.h"
#include "data/database.h"

namespace kelda::training {

struct ObjectFields {
  ObjectFields() = default;
  ObjectFields(const ObjectFields&) = delete;
  ObjectFields& operator=(const ObjectFields&) = delete;

  // Properties: plain stored values, never checked on a put.
  std::string MSAccessDBName;
  std::string MSAccessTableName;
  int32_t Epochs = 0;
  int16_t HiddenLayerCount = 0;

  // One more than the number of rows of the training table.
  int32_t RecordCount = 0;
  // The current row's value of one column, raw and then scaled.
  double FieldValue = 0.0;
  // Scaling ranges, indexed 0 .. RecordCount. Element j of the input arrays
  // holds the range of input column j - 1; element 1 of the target arrays the
  // target's (a number, or Null when the column holds no value).
  CheckedArray<Value> TargetMax;
  CheckedArray<Value> TargetMin;
  CheckedArray<double> InputMax;
  CheckedArray<double> InputMin;
  // Names of the input columns, indices 0 .. FieldCount; elements
  // FieldCount - 2 .. FieldCount stay Empty.
  CheckedArray<Value> InputNames;

  // The counts a run derives from the table, named. The arrays underneath
  // stay checked, so a count that does not fit an array still raises 9
  // where the array is indexed.
  //
  // Rows of the table when it was counted: every one is predicted, those up
  // to the first Null target are the examples.
  int32_t RowCount() const { return RecordCount - 1; }
  // Input columns of the table (its columns but the target and `Actual`).
  // Raises 6 when no run has named the columns yet.
  int32_t InputColumnCount() const { return CheckedSub<int32_t>(InputNames.UBound(), 2); }

  // The rows of the table when the run counted them, by rowid: the run
  // trains on and predicts these and no others (none for a table without
  // rowid).
  std::shared_ptr<const data::RowIds> RunRows;
  // The file's schema version under which RunRows were read, moved on by
  // the run's own addition of `Actual`. Every database the run opens holds
  // it (data::Database::FixRows): once another program has vacuumed the
  // file or changed its schema, the run's rows and columns are no longer
  // known, and reading or writing them raises 3197.
  std::optional<uint32_t> RunSchema;

  // Kept open from one training run to the next; each run replaces them.
  std::optional<data::Database> TrainingDatabase;
  std::optional<data::Recordset> TargetRecordset;
};

}  // namespace kelda::training
