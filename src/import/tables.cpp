#include <fmt/format.h>
#include <kelda/database_name.h>
#include <kelda/import.h>

#include <algorithm>
#include <chrono>

#include "base/error.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "data/database.h"
#include "data/new_tables.h"
#include "data/recordset.h"
#include "data/server_name.h"
#include "import/work.h"

namespace kelda {

void MakeNewTable(const std::string& database, const NewTable& table, const WorkOptions& work) {
  // A write of a few rows may never reach the database's own check.
  RaiseIfCancelled(work);
  // The layer takes two columns of one name for a fault of its caller; here
  // they are a user's mistake.
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (data::SameName(table.columns[i], table.columns[j])) {
        Raise(kErrInvalidArgument, fmt::format("table '{}': the column '{}' is named twice",
                                               table.name, table.columns[i]));
      }
    }
  }
  data::NewTable made;
  made.name = table.name;
  made.columns = table.columns;
  made.rows = table.rows;
  data::MakeNewTables(database, made, std::nullopt, import::WriteOptions(work));
}

namespace import {

data::NewTablesOptions WriteOptions(const WorkOptions& work) {
  data::NewTablesOptions write;
  // A negative span waits as long as none, as the thread's engine takes it.
  write.busy_timeout = std::max(work.busy_timeout.value_or(ThisThread().DBEngine().BusyTimeout()),
                                std::chrono::milliseconds{0});
  write.interrupt = work.cancel;
  return write;
}

}  // namespace import

std::vector<std::vector<Value>> ReadColumns(const std::string& database, const std::string& table,
                                            const std::vector<std::string>& columns,
                                            const WorkOptions& work) {
  ScopedThreadSettings settings;
  settings.Apply(work);
  data::Database db = ThisThread().DBEngine().OpenDatabase(database);
  data::Recordset rows = db.OpenRecordset(table);
  std::vector<data::Field> fields;
  for (const std::string& name : columns) fields.push_back(rows.Fields(name));
  std::vector<std::vector<Value>> values;
  for (; !rows.IsEOF(); rows.MoveNext()) {
    std::vector<Value>& row = values.emplace_back();
    for (const data::Field& field : fields) row.push_back(field.GetValue());
  }
  return values;
}

std::string ShownDatabaseName(std::string_view name) { return data::ShownName(name); }

}  // namespace kelda
