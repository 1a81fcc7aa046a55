// New tables made from rows held in memory, in the database a name picks
// (data/server_name.h): an SQLite file, created when missing, or a database
// on a server. For the tool's `import` and its demo: everything a caller
// needs to make a training table without knowing the engine.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "data/database.h"

namespace kelda::data {

// One row of a new table: a value per column, nullopt for Null.
using NewRow = std::vector<std::optional<double>>;

// A table to make. Every column holds doubles (REAL in a file, double
// precision on a server), in the order given.
struct NewTable {
  std::string name;
  std::vector<std::string> columns;
  std::vector<NewRow> rows;  // each of columns.size() values, in this order
};

// A second table whose rows each point at a row of the first: its own first
// column, `key_column`, holds the key that row got there (see MakeNewTables),
// and is its primary key.
struct KeyedTable {
  std::string name;
  std::string key_column;
  std::vector<std::string> columns;  // after key_column
  std::vector<NewRow> rows;          // each of columns.size() values
  // For each of rows: the index of the first table's row it points at.
  // REQUIRES: each one below that table's row count, no two the same.
  std::vector<std::size_t> of_rows;
};

struct NewTablesOptions {
  // How long a lock held by another program is waited for.
  std::chrono::milliseconds busy_timeout{5000};
  // Asked while the tables are written; true stops the writing, which then
  // leaves the database as it was and raises 18.
  InterruptCheck interrupt;
};

// Makes `table` and, when given, `keyed` in the database `database`, and
// fills them, in one transaction: either both are there, whole, or the
// database is as it was. Raises 3000 ("the table ... already exists") when a
// table of either name exists, and the database's errors otherwise; no text
// holds a password of a server's name.
//
// An SQLite file (any name that is no server's): a table name is taken as it
// stands (compared as SQLite compares names). The rows are numbered by SQLite
// in the order given, and a key is a row's rowid; a column named rowid, oid or
// _rowid_ is an ordinary column that gets the values given. A missing file is
// written under a scratch name beside it and takes its name only once whole,
// never replacing a file made meanwhile (the tables then go into that one);
// nothing else is ever removed. Raises 3051 for a symbolic link to a missing
// file and for a file that cannot be made.
//
// A server: a table name is `name` or `schema.name`, read as the server reads
// an identifier chain (see postgres/catalog.h); `keyed` goes into the schema
// `table` goes into. Each table gets a column that identifies its rows and
// orders them: `table` a first column `id bigint GENERATED ALWAYS AS IDENTITY
// PRIMARY KEY` (id2, id3, ... when one of its columns has that name), whose
// values are 1, 2, ... in the order of `rows`, which are the keys; `keyed`
// its key_column as a bigint primary key. Names longer than the server takes
// (it would cut them) and names with a NUL character raise 5. Connects as
// postgres::Connection::Open does (3151 when it cannot).
// REQUIRES: the names of `table`'s columns differ as the database compares
// names, and so do those of `keyed`.
void MakeNewTables(const std::string& database, const NewTable& table,
                   const std::optional<KeyedTable>& keyed, const NewTablesOptions& options);

// For the engines' own files: raises 3000 saying that the table `table`
// (cut when long) already exists in `database` (shown with its password
// masked).
[[noreturn]] void RaiseTableExists(const std::string& table, const std::string& database);

}  // namespace kelda::data
