// The per-object state of a Network: its four properties and what a training
// run learns about its table. Each object has its own; everything starts
// zero, empty or unset. The training table access, the run set-up, the
// training run and the relevance analysis read and write it by these names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/checked_array.h"
#include "base/value.h"
#include "data/database.h"

namespace kelda::data {

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

  // The rows of the table when the run counted them, by rowid: the run
  // trains on and predicts these and no others (none for a table without
  // rowid).
  std::shared_ptr<const RowIds> RunRows;

  // Kept open from one training run to the next; each run replaces them.
  std::optional<Database> TrainingDatabase;
  std::optional<Recordset> TargetRecordset;
};

}  // namespace kelda::data
