#include "training/training_table.h"

#include <memory>
#include <new>
#include <optional>

#include "base/checked.h"
#include "base/error.h"
#include "training/run_setup.h"

namespace kelda::training {
namespace {

// Whether `name` names a table of `db`, rather than being a query's text.
bool IsTable(data::Database& db, const std::string& name) {
  try {
    db.TableDefs(name);
  } catch (const Error& e) {
    if (e.Number() != kErrItemNotFound) throw;
    return false;
  }
  return true;
}

}  // namespace

void CountTableRows(data::DBEngine& engine, ObjectFields& fields) {
  fields.RecordCount = 1;
  auto rows = std::make_shared<data::RowIds>();
  data::Database db = engine.OpenDatabase(fields.MSAccessDBName);
  {
    data::Recordset table = db.OpenRecordset(fields.MSAccessTableName);
    // A run over a query's rows fails when it first writes a prediction or
    // adds `Actual`; counting first could take for ever. A table whose rows
    // have no key is counted: its first write says why it fails.
    if (!table.Updatable() && !IsTable(db, fields.MSAccessTableName)) {
      // The run would add `Actual` to a table of that name, or read the
      // target from one.
      const int last = table.FieldCount() - 1;
      if (last >= 0 && table.Fields(last).Name() == "Actual") {
        Raise(kErrTableNotFound, "Table '" + fields.MSAccessTableName +
                                     "' not found in database '" + fields.MSAccessDBName + "'.");
      }
      db.TableDefs(fields.MSAccessTableName);
    }
    while (!table.IsEOF()) {
      fields.RecordCount = CheckedAdd<int32_t>(fields.RecordCount, 1);
      if (const std::optional<int64_t> id = table.RowId()) {
        try {
          rows->push_back(*id);
        } catch (const std::bad_alloc&) {
          Raise(kErrOutOfMemory, StandardErrorText(kErrOutOfMemory) + " (rows of the table)");
        }
      }
      table.MoveNext();
    }
    fields.RunSchema = table.SchemaVersion();
  }
  db.Close();
  const bool every_row = static_cast<int64_t>(rows->size()) == fields.RecordCount - 1;
  fields.RunRows = every_row ? std::move(rows) : nullptr;
}

data::Database OpenRunDatabase(data::DBEngine& engine, const ObjectFields& fields) {
  data::Database db = engine.OpenDatabase(fields.MSAccessDBName);
  // Before any run there is nothing to hold: the run's own errors tell.
  if (fields.RunSchema) db.FixRows(fields.MSAccessTableName, fields.RunRows, *fields.RunSchema);
  return db;
}

std::string TargetQuery(const std::string& target, const std::string& table) {
  return "SELECT " + data::SqlName(target) + " FROM " + data::SqlName(table) + ";";
}

std::string InputQuery(const CheckedArray<Value>& input_names, int field_count,
                       const std::string& table) {
  std::string sql = "SELECT ";
  for (int i = 0; i <= field_count - 3; ++i) {
    if (i > 0) sql += ", ";
    const Value& name = input_names(i);
    sql += data::SqlName(name.IsText() ? name.text() : "");
  }
  return sql + " FROM " + data::SqlName(table);
}

RunHandles OpenTrainingTable(data::DBEngine& engine, engine::NetworkState& net,
                             ObjectFields& fields) {
  const std::string& table_name = fields.MSAccessTableName;
  RunHandles run;

  {
    // Open until the run's own handle is: the count closing the file's last
    // connection would switch it back to rollback mode, and the run's handle
    // switch it to write-ahead mode again, each a synced write.
    data::Database bridge = engine.OpenDatabase(fields.MSAccessDBName);
    CountTableRows(engine, fields);
    run.db = OpenRunDatabase(engine, fields);
  }
  fields.TrainingDatabase = OpenRunDatabase(engine, fields);
  std::optional<data::Recordset> table = run.db->OpenRecordset(table_name);

  // Exact comparison: a last column named "actual" is not the output column,
  // and adding "Actual" beside it collides (SQLite names ignore case).
  const int last = table->FieldCount() - 1;
  if (last < 0 || table->Fields(last).Name() != "Actual") {
    table.reset();
    run.db->Close();
    run.db = OpenRunDatabase(engine, fields);
    data::TableDef def = run.db->TableDefs(table_name);
    fields.RunSchema = def.Fields().Append(def.CreateField("Actual", data::kDbDouble));
    run.db = OpenRunDatabase(engine, fields);
    // The second handle, opened under the version before the addition,
    // would take the run's own change for another program's.
    fields.TrainingDatabase = OpenRunDatabase(engine, fields);
    table = run.db->OpenRecordset(table_name);
  }
  run.OutputRecordset = run.db->OpenRecordset(table_name);

  PrepareRun(net, fields);

  run.FieldCount = table->FieldCount();
  fields.InputNames.Redim(run.FieldCount);
  int i = 0;
  for (; i <= run.FieldCount - 3; ++i) fields.InputNames(i) = Value(table->Fields(i).Name());
  if (run.FieldCount < 3) i = 0;  // the loop never ran: its counter stayed at 0
  const std::string target_name = table->Fields(i).Name();

  fields.TargetRecordset =
      fields.TrainingDatabase->OpenColumns({data::ColumnQuery::Kind::kRows,
                                            table_name,
                                            {target_name},
                                            {},
                                            TargetQuery(target_name, table_name)});

  QueryRanges(*run.db, fields, target_name);
  SizeNetwork(net, fields, run.FieldCount);

  std::vector<std::string> input_columns;
  for (int k = 0; k <= run.FieldCount - 3; ++k) {
    const Value& name = fields.InputNames(k);
    input_columns.push_back(name.IsText() ? name.text() : "");
  }
  run.InputRecordset =
      run.db->OpenColumns({data::ColumnQuery::Kind::kRows,
                           table_name,
                           std::move(input_columns),
                           {},
                           InputQuery(fields.InputNames, run.FieldCount, table_name)});
  return run;
}

}  // namespace kelda::training
