// The training table: row counting, the column `Actual`, the input and
// target columns found by position, and the three row sources of a run.
//
// Layout, by position: input columns 0 .. FieldCount - 3 in table order, the
// target at FieldCount - 2, `Actual` last. Column names go into SQL text
// unchanged when they are plain identifiers, quoted otherwise.
#pragma once

#include <optional>
#include <string>

#include "data/database.h"
#include "engine/network_state.h"
#include "training/object_fields.h"

namespace kelda::training {

// Counts the rows of fields.MSAccessTableName: sets fields.RecordCount to one
// more than their number, fields.RunRows to their rowids, the rows of the
// run, and fields.RunSchema to the file's schema version they were read
// under. Opens the database and the table, counts, closes. Raises the
// database's errors (3024, 3343, 3078, ...) before the table is touched; 6
// past 2147483647 rows. A query's text in place of a table name is refused
// before its rows are counted, with the error the run would meet: 3265 (no
// table of that name to add `Actual` to), or 3078 when its last column is
// named `Actual` (no table of that name to read the target from). A table
// whose rows have no key (every name of its rowid taken by a column) is
// counted: the run's first write to it raises 3219.
void CountTableRows(data::DBEngine& engine, ObjectFields& fields);

// What a run opens and keeps only until it returns.
struct RunHandles {
  std::optional<data::Database> db;
  std::optional<data::Recordset> InputRecordset;   // the input columns, in table order
  std::optional<data::Recordset> OutputRecordset;  // the whole table, updatable: writes `Actual`
  int FieldCount = 0;                              // columns of the table, `Actual` included
};

// The opening sequence of a training run, with the run set-up interleaved:
// counts the rows, opens the database twice (the second handle becomes
// fields.TrainingDatabase), appends a double column `Actual` when the last
// column is not named exactly so (and then opens both handles again, under
// the schema version the addition left), opens OutputRecordset, initialises the
// weights and the run's parameters, finds the input and target columns,
// opens fields.TargetRecordset ("SELECT target FROM table;"), queries every
// column's range, sizes the network, and opens InputRecordset
// ("SELECT a, b, ... FROM table"). Every database it opens sees the rows of
// fields.RunRows only and holds fields.RunSchema. Every error passes to the caller at the step that
// meets it; what earlier steps changed stays changed.
RunHandles OpenTrainingTable(data::DBEngine& engine, engine::NetworkState& net,
                             ObjectFields& fields);

// The SQL texts of a run, built from column and table names.
// Opens the database of `fields` showing the run's rows only, and holding
// the run's schema version: raises 3197 at its first read or write once
// another program has vacuumed the file or changed its schema (see
// data::Database::FixRows).
data::Database OpenRunDatabase(data::DBEngine& engine, const ObjectFields& fields);

std::string TargetQuery(const std::string& target, const std::string& table);
std::string InputQuery(const CheckedArray<Value>& input_names, int field_count,
                       const std::string& table);

}  // namespace kelda::training
