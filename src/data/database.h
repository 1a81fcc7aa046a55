// The data-access layer over SQLite: engine, database, table definition.
// Handles follow the engine / database / recordset shape that hosts of such
// components expect: a per-thread DBEngine opens Databases; a Database opens
// Recordsets and hands out TableDefs. Every SQLite failure becomes one
// kelda::Error with a number of the registry in base/error.h.
//
// Concurrency model: a Database owns one read-write SQLite connection for its
// writes and a pool of further connections on the same file on which its
// Recordsets step their statements, so that a row updated through one
// Recordset is committed when Update returns although other Recordsets of the
// same or another Database are in the middle of their scans. Files are put in
// write-ahead-log mode with normal sync when they are opened writable.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/recordset.h"

namespace kelda::data {

class DatabaseCore;     // a file's shared connection state (database.cpp)
class DatabaseBackend;  // what an engine implements (backend.h)

// Field type of CreateField: an 8-byte IEEE double column.
inline constexpr int kDbDouble = 7;

class Database;

// A new column for TableDef::Fields().Append: its name and type.
struct FieldDef {
  std::string name;
  int type = kDbDouble;
};

// Observer of every SQL text this layer hands to SQLite, the layer's own
// statements included, in the order they are prepared. For tests and tracing.
using StatementObserver = std::function<void(const std::string& sql)>;

// Asked now and then while SQLite works on a statement; returning true stops
// the statement. Called on the thread that uses the Database.
using InterruptCheck = std::function<bool()>;

// The rows of a table as they were at one moment: their keys (a file's
// rowids; a server table's primary key), in the table's row order.
using RowIds = std::vector<int64_t>;

// A query a run makes over one table's columns, described so that each
// engine can state it in its own SQL: the table's rows (those fixed by
// Database::FixRows only), in the table's row order, one field per column;
// or the least or greatest value of one column over them.
struct ColumnQuery {
  enum class Kind { kRows, kMin, kMax };
  Kind kind = Kind::kRows;
  std::string table;                 // as the host named it
  std::vector<std::string> columns;  // kRows: the columns, in order; kMin / kMax: the one column
  std::string alias;                 // kMin / kMax: the name of the one field
  // The text an engine that takes SQL as the host's own runs as it stands
  // (the file engine); the server engine builds its own statement from the
  // table it resolved and the columns' names.
  std::string sql;
};

// One per thread (the component keeps it in its per-thread block). Not
// thread-safe; every handle it opens must be used on the same thread.
class DBEngine {
 public:
  DBEngine();
  ~DBEngine();
  DBEngine(const DBEngine&) = delete;
  DBEngine& operator=(const DBEngine&) = delete;

  // Opens the database `path`. A server name (IsServerName in
  // data/server_name.h) opens the server engine: see OpenServer below.
  // Anything else opens the existing SQLite database file `path`, shared and read-write
  // (read-only when the file or its folder cannot be written). Never creates
  // a file. Raises 3024 when the file does not exist (the path in the text),
  // 3343 when it is not a database this layer can read (with a plain word
  // and a way to convert it for a Microsoft Access file), 3051 when it cannot
  // be opened, 3218 when it stays locked longer than BusyTimeout().
  //
  // A server database: one connection per Database (libpq's environment and
  // password file apply). Raises 3151 when none can be made, the name shown
  // with its password masked; on a build without the server engine (the
  // Windows component) 3151 says that only files can be read. A server
  // table's rows are ordered and identified by its primary key, whose
  // columns are hidden from its Recordsets (postgres/server_database.h).
  //
  // Databases this engine opened earlier whose file has since been deleted,
  // renamed or replaced are closed first (their handles then raise 3420):
  // their log, which SQLite names after the path, must not reach the file
  // that is at the path now. Writes and rewinds through such a database
  // raise 3043 (see Recordset).
  Database OpenDatabase(const std::string& path);

  // How long an operation waits for a lock held by another program before it
  // raises 3218. Default 5 seconds.
  void SetBusyTimeout(std::chrono::milliseconds timeout) { busy_timeout_ = timeout; }
  std::chrono::milliseconds BusyTimeout() const { return busy_timeout_; }

  // Every Database opened afterwards reports its SQL texts to `observer`
  // (nullptr: none).
  void SetStatementObserver(StatementObserver observer) { observer_ = std::move(observer); }

  // How long stored rows may wait, grouped into one commit (see
  // Database::GroupUpdates), where this engine's thread writes many rows
  // without handing control to its host in between: the final write-back and
  // the relevance analysis. Default 200 ms; 0 commits every row on its own.
  void SetCommitWindow(std::chrono::milliseconds window) { commit_window_ = window; }
  std::chrono::milliseconds CommitWindow() const { return commit_window_; }

  // Every Database opened afterwards asks `check` every few thousand steps
  // of a running statement and stops the statement with 18 ("User interrupt
  // occurred") when it returns true, so that a host can stop even a query
  // that never ends. nullptr: statements run to their end.
  void SetInterruptCheck(InterruptCheck check) { interrupt_ = std::move(check); }
  const InterruptCheck& GetInterruptCheck() const { return interrupt_; }

 private:
  std::chrono::milliseconds busy_timeout_{5000};
  std::chrono::milliseconds commit_window_{200};
  StatementObserver observer_;
  InterruptCheck interrupt_;
  // What this engine has opened, so that an open can first let go of
  // databases whose file has been deleted or replaced (db_core.h).
  std::shared_ptr<std::vector<std::weak_ptr<DatabaseCore>>> opened_;
};

// The columns of a table definition.
class TableDefFields {
 public:
  int Count() const;
  // REQUIRES: 0 <= i < Count(); otherwise raises 3265.
  std::string Name(int i) const;
  // Adds `def` as a new last column of the table, stored at once. Raises 3191
  // when the table already has a column of that name (compared as SQLite
  // compares names, ignoring ASCII case), 3259 for a type other than
  // kDbDouble, 3027 when the database is read-only, 3043 when its file has
  // been deleted, renamed or replaced since it was opened, 3197 when the
  // database holds a schema version (Database::FixRows) that the file no
  // longer has. Commits an open group of updates first. Returns the file's
  // schema version as the change left it; the database's held version
  // follows the change, which keeps every row's key.
  uint32_t Append(const FieldDef& def);

 private:
  friend class TableDef;
  explicit TableDefFields(std::shared_ptr<DatabaseBackend> core, std::string table);
  std::shared_ptr<DatabaseBackend> core_;
  std::string table_;
};

// The definition of one table (TableDefs(name) of a Database).
class TableDef {
 public:
  const std::string& Name() const { return table_; }
  TableDefFields& Fields() { return fields_; }
  FieldDef CreateField(const std::string& name, int type) const { return FieldDef{name, type}; }

 private:
  friend class Database;
  TableDef(std::shared_ptr<DatabaseBackend> core, std::string table);
  std::string table_;
  TableDefFields fields_;
};

// A database handle. Movable, not copyable. Recordsets opened on it keep the
// connection alive after the handle is dropped; Close() ends it for them too
// (their later use raises 3420).
class Database {
 public:
  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // A Recordset over `source`:
  // - the name of a table of the database (compared as SQLite compares names):
  //   a table-type Recordset, updatable, positioned on the first row, rows in
  //   the table's own order (rowid order, or primary-key order for a table
  //   without rowid), whatever indexes the table has;
  // - otherwise text that begins with SELECT or WITH: read-only rows of that
  //   query. The text reaches SQLite as it stands. A query over one table
  //   yields its rows in the table's own order too (covering-index scans are
  //   switched off; SQLite may still read a table without rowid through a
  //   covering index when that is cheaper). Raises 3142 when the text holds
  //   more than one statement, 3219 for a statement that writes, 3061 for an
  //   unknown column, 3078 for an unknown table, 3075 for a syntax error;
  // - anything else: raises 3078 (no such table).
  Recordset OpenRecordset(const std::string& source);

  // The read-only rows or the aggregate `query` describes. Raises as
  // OpenRecordset does for a query's text.
  Recordset OpenColumns(const ColumnQuery& query);

  // REQUIRES: a table `name` exists; otherwise raises 3265.
  TableDef TableDefs(const std::string& name);

  // Fixes which rows of table `table` this handle's Recordsets see, as a
  // keyset does: those whose rowid is in `rows`, usually read by one scan of
  // the table (Recordset::RowId) when a run begins. Rows inserted later, by
  // this or another program, are invisible to Recordsets and queries opened
  // afterwards on this handle: a table-type Recordset steps over them, and in
  // a query's text the table's name stands for the fixed rows only (columns
  // still read their current values). A table-type Recordset raises 3021 when
  // it reaches a fixed row that has since been deleted. A table without a
  // rowid, or unknown here, is left as it is.
  //
  // `schema_version` is the file's schema version (Recordset::SchemaVersion)
  // under which `rows` were read. A VACUUM by another program renumbers the
  // rowids of a table without an INTEGER PRIMARY KEY, and any change of a
  // table, column, index, view or trigger can move columns: both change the
  // version. From now on this handle holds it: each Recordset checks it
  // when it starts reading (on opening and on MoveFirst) and each write
  // transaction when it opens, raising 3197 when the file's version differs,
  // before any row is read or written. It is held also when `rows` is null
  // or the table has no rowid.
  void FixRows(const std::string& table, std::shared_ptr<const RowIds> rows,
               uint32_t schema_version);

  // From now on the rows this handle's Recordsets update are committed in
  // groups: the first Update opens a write transaction (waiting for another
  // program's lock up to the busy timeout, then 3218), and the first Update
  // that ends `window` or more after the group began commits it. Another
  // connection sees a row only once its group is committed; a process that
  // dies loses the rows of its open group, which keep the values they had.
  // The moved-file check (3043) runs once per group instead of once per row.
  void GroupUpdates(std::chrono::milliseconds window);
  // Commits the open group now, if any, and stays grouping: the next Update
  // opens a new group. For a caller about to hand control to code that may
  // write to the file through a connection of its own, which would otherwise
  // wait for this group's lock. Raises as CommitUpdates.
  void CommitGroup();
  // Commits the open group, if any, and goes back to committing each Update
  // when it returns. Raises the database's errors (3026, 3043, ...).
  void CommitUpdates();

  // A number that changes whenever another connection, of this or another
  // program, commits a change to the file; what this handle's own Recordsets
  // write leaves it as it is.
  uint64_t DataVersion();

  // Closes the connection, committing an open group of updates first;
  // Recordsets opened on this handle stop working. Closing twice does nothing.
  void Close();

  const std::string& Name() const;

 private:
  friend class DBEngine;
  explicit Database(std::shared_ptr<DatabaseBackend> core);
  std::shared_ptr<DatabaseBackend> core_;
};

// True when SQLite takes `a` and `b` for the same table or column name: ASCII
// letters compared ignoring case, everything else exactly.
bool SameName(std::string_view a, std::string_view b);

// True when `name` can stand in SQL text unquoted: letters, digits and
// underscores, not starting with a digit, not an SQL keyword.
bool IsPlainIdentifier(const std::string& name);

// `name` as it may stand in SQL text: unchanged when it is a plain identifier,
// otherwise quoted as an identifier ("..." with inner quotes doubled), so no
// name can change the statement it is put into.
std::string SqlName(const std::string& name);

}  // namespace kelda::data
