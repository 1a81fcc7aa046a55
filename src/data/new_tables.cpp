#include "data/new_tables.h"

#include <string_view>

#include "base/error.h"
#include "data/server_name.h"
#include "data/sqlite_new_tables.h"
#if KELDA_SERVER_ENGINE
#include "data/server_module.h"
#endif

namespace kelda::data {

namespace {

// A name as it stands in a message: a long one is cut, so that a huge name
// does not flood the terminal.
std::string Shown(std::string_view text) {
  constexpr std::size_t kLongest = 60;
  if (text.size() <= kLongest) return std::string(text);
  std::size_t end = kLongest;
  // Never in the middle of a UTF-8 sequence.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace

void RaiseTableExists(const std::string& table, const std::string& database) {
  Raise(kErrDatabase, "the table '" + Shown(table) + "' already exists in '" + ShownName(database) +
                          "'; import into a new table");
}

void MakeNewTables(const std::string& database, const NewTable& table,
                   const std::optional<KeyedTable>& keyed, const NewTablesOptions& options) {
  if (IsServerName(database)) {
#if KELDA_SERVER_ENGINE
    ServerEngineFor(database).make_new_tables(database, table, keyed, options);
    return;
#else
    RequireFileName(database);
#endif
  }
  MakeNewSqliteTables(database, table, keyed, options);
}

}  // namespace kelda::data
