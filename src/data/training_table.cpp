#include "data/training_table.h"

#include "base/checked.h"
#include "data/run_setup.h"

namespace kelda::data {

void CountTableRows(DBEngine& engine, ObjectFields& fields) {
  fields.RecordCount = 1;
  Database db = engine.OpenDatabase(fields.MSAccessDBName);
  {
    Recordset table = db.OpenRecordset(fields.MSAccessTableName);
    while (!table.IsEOF()) {
      fields.RecordCount = CheckedAdd<int32_t>(fields.RecordCount, 1);
      table.MoveNext();
    }
  }
  db.Close();
}

std::string TargetQuery(const std::string& target, const std::string& table) {
  return "SELECT " + SqlName(target) + " FROM " + SqlName(table) + ";";
}

std::string InputQuery(const CheckedArray<Value>& input_names, int field_count,
                       const std::string& table) {
  std::string sql = "SELECT ";
  for (int i = 0; i <= field_count - 3; ++i) {
    if (i > 0) sql += ", ";
    const Value& name = input_names(i);
    sql += SqlName(name.IsText() ? name.text() : "");
  }
  return sql + " FROM " + SqlName(table);
}

RunHandles OpenTrainingTable(DBEngine& engine, engine::NetworkState& net, ObjectFields& fields) {
  const std::string& path = fields.MSAccessDBName;
  const std::string& table_name = fields.MSAccessTableName;
  RunHandles run;

  CountTableRows(engine, fields);
  run.db = engine.OpenDatabase(path);
  fields.TrainingDatabase = engine.OpenDatabase(path);
  std::optional<Recordset> table = run.db->OpenRecordset(table_name);

  // Exact comparison: a last column named "actual" is not the output column,
  // and adding "Actual" beside it collides (SQLite names ignore case).
  const int last = table->FieldCount() - 1;
  if (last < 0 || table->Fields(last).Name() != "Actual") {
    table.reset();
    run.db->Close();
    run.db = engine.OpenDatabase(path);
    TableDef def = run.db->TableDefs(table_name);
    def.Fields().Append(def.CreateField("Actual", kDbDouble));
    run.db = engine.OpenDatabase(path);
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

  fields.TargetRecordset = fields.TrainingDatabase->OpenRecordset(TargetQuery(target_name, table_name));

  QueryRanges(*run.db, fields, target_name);
  SizeNetwork(net, fields, run.FieldCount);

  run.InputRecordset = run.db->OpenRecordset(InputQuery(fields.InputNames, run.FieldCount, table_name));
  return run;
}

}  // namespace kelda::data
