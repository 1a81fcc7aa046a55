// Internal to the data-access layer: MakeNewTables (data/new_tables.h) for
// an SQLite file.
#pragma once

#include <optional>
#include <string>

#include "data/new_tables.h"

namespace kelda::data {

// MakeNewTables for the file `path`. REQUIRES: !IsServerName(path).
void MakeNewSqliteTables(const std::string& path, const NewTable& table,
                         const std::optional<KeyedTable>& keyed, const NewTablesOptions& options);

}  // namespace kelda::data
