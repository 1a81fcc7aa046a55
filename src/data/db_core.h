// Internal to the data-access layer: the connection state shared by a
// Database and its Recordsets, the cursor state of a Recordset, and the one
// path by which SQLite result codes become kelda::Error.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/value.h"
#include "data/backend.h"
#include "data/database.h"
#include "data/recordset.h"

namespace kelda::data {

// ---- Errors ----------------------------------------------------------------

// The layer's error number for an SQLite result code (extended codes taken
// apart) and its message.
int32_t ErrorNumberFor(int rc, std::string_view message);

// Raises the kelda::Error for a failed SQLite call: the layer's number, a
// plain summary, SQLite's own message for `db` and what was being done.
[[noreturn]] void RaiseSqlite(int rc, sqlite3* db, std::string_view what,
                              std::string_view subject = {});

// The one path from SQLite result codes to errors: returns `rc` when it is
// SQLITE_OK, SQLITE_ROW or SQLITE_DONE, raises otherwise.
inline int check(int rc, sqlite3* db, std::string_view what, std::string_view subject = {}) {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) [[likely]] {
    return rc;
  }
  RaiseSqlite(rc, db, what, subject);
}

// Raises `number` with `text` (errors of the layer's own checks).
[[noreturn]] void RaiseDb(int32_t number, std::string text);

struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// Resets a statement when leaving a scope, so that it holds no transaction.
class ResetOnExit {
 public:
  explicit ResetOnExit(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~ResetOnExit() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

// Rolls back the connection's open transaction when a scope is left before
// Done(): one of its statements failed, and nothing of it may stay.
class RollbackUnlessDone {
 public:
  explicit RollbackUnlessDone(sqlite3* conn) : conn_(conn) {}
  ~RollbackUnlessDone() {
    if (conn_ != nullptr) sqlite3_exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  RollbackUnlessDone(const RollbackUnlessDone&) = delete;
  RollbackUnlessDone& operator=(const RollbackUnlessDone&) = delete;
  void Done() { conn_ = nullptr; }

 private:
  sqlite3* conn_;
};

// ---- Schema ----------------------------------------------------------------

// Column affinity, from the declared type by SQLite's rules.
enum class Affinity { kInteger, kText, kBlob, kReal, kNumeric };
Affinity AffinityOf(std::string_view declared_type, bool strict);
inline bool IsNumeric(Affinity a) {
  return a == Affinity::kInteger || a == Affinity::kReal || a == Affinity::kNumeric;
}

struct ColumnInfo {
  std::string name;
  std::string declared_type;
  Affinity affinity = Affinity::kBlob;
  int pk = 0;  // 1-based position in the primary key, 0 when not part of it
};

// One key column of a table without rowid, in the order of its key.
struct KeyPart {
  int column = 0;  // index into TableInfo::columns
  bool desc = false;
  std::string collation;
};

struct TableInfo {
  std::string name;  // as the schema spells it
  bool without_rowid = false;
  bool strict = false;
  std::vector<ColumnInfo> columns;
  std::vector<KeyPart> key;  // without rowid: the primary key, in its order
};

// ---- Connections -----------------------------------------------------------

class RecordsetCore;

// The databases an engine has opened (those still open among them).
using OpenedDatabases = std::vector<std::weak_ptr<DatabaseCore>>;

// The file engine's database.
class DatabaseCore final : public DatabaseBackend,
                           public std::enable_shared_from_this<DatabaseCore> {
 public:
  // Opens `path` (see DBEngine::OpenDatabase): the write connection, the
  // file's journal mode, the checks of the file's kind. The database joins
  // `opened`, the list of its engine. REQUIRES: opened != nullptr.
  static std::shared_ptr<DatabaseCore> Open(const std::string& path,
                                            std::chrono::milliseconds busy_timeout,
                                            StatementObserver observer, InterruptCheck interrupt,
                                            std::shared_ptr<OpenedDatabases> opened);
  ~DatabaseCore() override;
  DatabaseCore(const DatabaseCore&) = delete;
  DatabaseCore& operator=(const DatabaseCore&) = delete;

  const std::string& path() const { return path_; }
  bool closed() const { return writer_ == nullptr; }
  bool read_only() const { return read_only_; }
  bool wal() const { return wal_; }
  // Whether a cursor's rewind should copy the log into the file: when the
  // log, as this engine's last commit on the file left it, has reached the
  // length at which SQLite itself would copy it (a copy costs two syncs
  // however short the log), or when no database of the engine has committed
  // to it yet (its length is then unknown).
  bool LogWorthFolding() const;

  // Puts a writable file that is in rollback-journal mode into write-ahead
  // mode (waiting for the lock up to the busy timeout, then 3218), so that
  // cursors can read while single-row updates commit. Called once a table
  // or a query has been found good, never before: a file the caller cannot
  // use stays as it was. The file goes back to its mode when the last database of this
  // engine on it closes, if no other connection has it open then. With
  // `for_writes`, a file that can take no journal raises here: 3027 (its
  // folder is read-only) or 3026 (its disk is full).
  void UseWriteAheadLog(bool for_writes);

  // The write connection. Raises 3420 once closed.
  sqlite3* writer();

  // DatabaseBackend: see Database.
  std::unique_ptr<RecordsetBackend> OpenRecordset(const std::string& source) override;
  std::unique_ptr<RecordsetBackend> OpenColumns(const ColumnQuery& query) override;
  std::string FindTableDef(const std::string& name) override;
  std::vector<std::string> ColumnNames(const std::string& table) override;
  uint32_t AppendField(const std::string& table, const FieldDef& def) override;
  void GroupUpdates(std::chrono::milliseconds window) override;
  // Commits the open group of updates (after the moved-file check).
  void CommitGroup() override;
  void CommitUpdates() override;
  uint64_t DataVersion() override;
  const std::string& Name() const override { return path_; }
  // Around each row a Recordset writes: the moved-file check, and the
  // group's transaction when updates are grouped. With a schema version held
  // (HoldSchema), a row that is not grouped is written in a transaction of
  // its own, and the file's version is checked inside each transaction as it
  // opens: raises 3197, writing nothing, when it is not the held one. After
  // a failed write, EndFailedWrite rolls back a row's own transaction (a
  // group's stays open, for the rows it already holds).
  void BeforeWrite();
  void AfterWrite();
  void EndFailedWrite();

  // The file's schema version (PRAGMA schema_version) as read on `conn`,
  // by the statement kept in `cache` (prepared on first use).
  uint32_t SchemaVersion(sqlite3* conn, Stmt& cache);
  // From now on every cursor of this database checks, each time it starts
  // reading, and every write transaction, as it opens, that the file's
  // schema version is `version`, and raises 3197 when it is not: the keys
  // and column positions of a run were read under it, and a VACUUM (which
  // renumbers rowids) or any change of a table's columns changes it.
  // `table` names the table whose keys were read, for messages.
  void HoldSchema(std::string table, uint32_t version) {
    held_table_ = std::move(table);
    held_schema_ = version;
  }
  const std::optional<uint32_t>& HeldSchema() const { return held_schema_; }
  // Raises 3197 when a schema version is held and `seen` is not it.
  void CheckSchema(uint32_t seen) const {
    if (held_schema_ && seen != *held_schema_) RaiseRestructured();
  }
  [[noreturn]] void RaiseRestructured() const;
  // This database itself moved the schema version from `before` to `after`
  // by a change that keeps every row's key (a column added): the held
  // version follows it.
  void AdoptOwnChange(uint32_t before, uint32_t after);
  // A connection of the pool for a cursor; ReleaseReader gives it back.
  sqlite3* AcquireReader();
  void ReleaseReader(sqlite3* conn);

  // Prepares `sql` on `conn`, reporting the text to the observer first. An
  // error names `what` was done and `subject` (the text itself when empty).
  // When `tail` is given it receives where the first statement ends.
  Stmt Prepare(sqlite3* conn, std::string_view sql, std::string_view what,
               std::string_view subject = {}, const char** tail = nullptr);
  // Prepares and runs `sql` on `conn` to its end.
  void Exec(sqlite3* conn, std::string_view sql, std::string_view what,
            std::string_view subject = {});

  // The table `name` (compared ignoring case) of the main schema, read on
  // `conn`; false when there is none.
  bool FindTable(sqlite3* conn, std::string_view name, TableInfo* info);

  // The rows of a table fixed by Database::FixRows.
  struct FixedRows {
    std::string table;  // as the schema spells it
    std::string rowid;  // a name by which the table's rowid is reached
    std::string keys;   // the temporary table holding the rowids on each reader
    std::shared_ptr<const RowIds> rows;
  };
  // See Database::FixRows. REQUIRES: no Recordset of this database is open.
  void FixRows(const std::string& table, std::shared_ptr<const RowIds> rows,
               uint32_t schema_version) override;
  // The fixed rows of `table` (the schema's spelling), or nullptr.
  const FixedRows* FixedRowsOf(std::string_view table) const;

  void Register(RecordsetCore* rs);
  void Unregister(RecordsetCore* rs);

  // Stops every Recordset of this database and closes all connections.
  void Close() override;

  [[noreturn]] void RaiseClosed() const;

  // True when the path no longer names the file this database opened: it
  // was deleted, renamed or replaced by another program.
  bool Moved() const;

  // Raises 3043 when the file has been moved (see Moved), after abandoning
  // it (AbandonMovedFiles). Called before every write and every rewind, so
  // that a run stops at its next step instead of working on a file nobody
  // can find any more.
  void CheckInPlace();

  // Closes every database of `opened` whose file has been moved. Their log
  // is first folded into the file they opened, wherever it now is, and then
  // removed from the old path: SQLite leaves the log of a moved file behind,
  // and whatever file is next put at that path would take it for its own
  // and be overwritten with the old file's pages.
  static void AbandonMovedFiles(OpenedDatabases& opened);

 private:
  DatabaseCore(std::string path, std::chrono::milliseconds busy_timeout, StatementObserver observer,
               InterruptCheck interrupt);
  // A new connection to the file.
  sqlite3* Connect();
  // Refuses a file that is not an SQLite database, reading its first bytes
  // through the write connection's own file handle.
  void CheckHeader();
  // Takes up a file that is in write-ahead mode: sync, checkpoints, the log's
  // identity for the moved-file check.
  void EnterWal();
  // On the last close of the file by this engine: back to the file's own
  // journal mode, or the duty handed to another open database of the engine.
  void RestoreJournalMode();
  // Makes the fixed rows what a query's text on `conn` reads, as far as it
  // does not yet. Only a query needs them: a table-type cursor reads the
  // table itself and steps over the rows that are not fixed, and a
  // connection takes them (thousands of rows) only when it first serves a
  // query.
  void ShowFixedRows(sqlite3* conn);
  void InstallFixedRows(sqlite3* conn, const FixedRows& fixed);
  // Commits the open group as the connection goes, rolling it back when the
  // commit fails: nothing is raised.
  void EndGroupQuietly();
  static int OnProgress(void* core);

  std::string path_;
  std::chrono::milliseconds busy_timeout_;
  StatementObserver observer_;
  InterruptCheck interrupt_;
  static int OnWalCommit(void* core, sqlite3* db, const char* schema, int frames);

  // A file beside the database (its log or the log's index) as it was when
  // the database was opened.
  struct FileId {
    std::string path;
    bool known = false;
    unsigned long long dev = 0;
    unsigned long long ino = 0;
  };
  static FileId IdOf(std::string path);
  void CloseReaders();

  std::shared_ptr<OpenedDatabases> opened_;  // the engine's list
  sqlite3* writer_ = nullptr;
  bool moved_ = false;  // closed because its file was moved
  FileId log_;
  FileId log_index_;
  int log_frames_ = -1;      // frames in the write-ahead log after the last commit (-1: none yet)
  int next_checkpoint_ = 0;  // log size at which the next commit tries a checkpoint
  bool read_only_ = false;
  bool wal_ = false;
  std::string file_mode_;     // the file's journal mode when opened
  std::string restore_mode_;  // the mode to go back to on the last close, if any
  std::vector<FixedRows> fixed_;
  std::optional<std::chrono::milliseconds> group_window_;  // updates grouped
  bool group_open_ = false;    // a write transaction of BeforeWrite is open
  bool single_write_ = false;  // ... for one row only: updates are not grouped
  std::optional<uint32_t> held_schema_;
  std::string held_table_;
  Stmt writer_schema_;  // PRAGMA schema_version on the write connection
  Stmt data_version_;   // PRAGMA data_version on the write connection
  std::chrono::steady_clock::time_point group_began_;
  std::vector<sqlite3*> idle_;
  std::vector<RecordsetCore*> recordsets_;
};

// ---- Cursors ---------------------------------------------------------------

// The file engine's cursor.
class RecordsetCore final : public RecordsetBackend {
 public:
  // A table-type cursor over `table`, on the pool connection `conn`.
  RecordsetCore(std::shared_ptr<DatabaseCore> db, sqlite3* conn, TableInfo table);
  // A read-only cursor over the rows of the query `sql`, on `conn`.
  RecordsetCore(std::shared_ptr<DatabaseCore> db, sqlite3* conn, std::string_view sql);
  ~RecordsetCore() override;
  RecordsetCore(const RecordsetCore&) = delete;
  RecordsetCore& operator=(const RecordsetCore&) = delete;

  bool IsEOF() const override {
    Live();
    return eof_;
  }
  bool Updatable() const override {
    Live();
    return table_type_ && updatable_;
  }
  std::optional<int64_t> RowId() const override;
  void MoveFirst() override;
  void MoveNext() override;

  int FieldCount() const override {
    Live();
    return static_cast<int>(names_.size());
  }
  // -1 when there is no such field.
  int FindField(std::string_view name) const override;
  // The schema version of the snapshot the cursor reads (Recordset::SchemaVersion).
  uint32_t SchemaVersion() const override;
  const std::string& FieldName(int i) const override {
    Live();
    return names_[i];
  }

  Value Get(int i) const override;
  double GetNumber(int i) const override;
  void Set(int i, const Value& value) override;
  void Edit() override;
  void Update() override;
  Value UpdateRow(int64_t rowid, int field, const Value& value) override;

  // The database was closed: drop every statement and the connection.
  void Detach();

 private:
  // A pool connection lent to this cursor, returned when the cursor ends.
  struct Lease {
    std::shared_ptr<DatabaseCore> db;
    sqlite3* conn = nullptr;
    Lease(std::shared_ptr<DatabaseCore> d, sqlite3* c) : db(std::move(d)), conn(c) {}
    ~Lease() {
      if (conn != nullptr) db->ReleaseReader(conn);
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
  };
  struct UpdatePlan {
    std::vector<int> fields;  // the assigned fields, ascending
    Stmt update;
    Stmt reread;
    // No trigger of the table could fire when `update` was prepared; one
    // created since makes SQLite prepare it again (see StoresAsAssigned).
    bool untriggered = false;
  };
  // Before a row is written: the read-only check (3027), the moved-file
  // check, the transaction and the schema check (DatabaseCore::BeforeWrite),
  // the reading back of the current row's stored values. Returns the write
  // connection.
  sqlite3* BeginWrite();
  // Ends a row's own transaction when a write fails after BeginWrite.
  struct FailedWriteGuard {
    DatabaseCore* db;
    ~FailedWriteGuard() {
      if (db != nullptr) db->EndFailedWrite();
    }
  };
  // `value` as field i's column takes it (Recordset::Field::SetValue).
  Value Converted(int i, const Value& value) const;
  // After an update that changed no row: raises 3021, saying whether the
  // row is gone or a trigger ignored the change. `bind_key` binds the row's
  // key to plan.reread.
  [[noreturn]] void RaiseUnchanged(const UpdatePlan& plan,
                                   const std::function<void(sqlite3_stmt*)>& bind_key) const;
  // Whether the row reads back `value`, just stored in field `f` by `plan`,
  // so that no reading back is needed: no trigger can have changed it, and
  // the column keeps it as the number it is. A zero in `value` then loses
  // its sign, as the stored one has.
  bool StoresAsAssigned(const UpdatePlan& plan, int f, Value& value) const;

  void Live() const {
    if (stmt_ == nullptr) [[unlikely]] {
      lease_.db->RaiseClosed();
    }
  }
  [[noreturn]] static void RaiseNoCurrentRecord();
  void Start();
  void Step();
  // At the first step of a pass, whose result is `rc`: the schema version
  // of the snapshot the pass reads, checked against the held one before
  // any row is looked at.
  void TakeSnapshotSchema(int rc);
  // With fixed rows: true when the statement's row is the next fixed row,
  // false for a row inserted since; raises 3021 when a fixed row was skipped
  // (deleted).
  bool NextFixedRow();
  [[noreturn]] void RaiseDeletedRow(int64_t rowid) const;
  void LeaveRow();
  std::string KeyCondition() const;
  UpdatePlan& PlanFor(const std::vector<int>& fields);
  // Binds the current row's key from parameter `first` on; key fields listed
  // in `changed` bind their assigned values.
  void BindKey(sqlite3_stmt* stmt, int first, const std::vector<int>* changed) const;
  const Value& Override(int i) const;
  void Reread() const;

  Lease lease_;
  Stmt stmt_;
  std::string source_;  // the table's name or the query's text, for messages
  std::vector<std::string> names_;
  int offset_ = 0;  // statement column of field 0 (1 when the rowid comes first)
  bool eof_ = true;
  bool pass_start_ = true;                   // the next step is the first of a pass
  std::optional<uint32_t> snapshot_schema_;  // the pass's schema version
  mutable Stmt schema_stmt_;                 // PRAGMA schema_version on this cursor's connection

  // Table-type only.
  bool table_type_ = false;
  bool updatable_ = false;
  TableInfo table_;
  std::string rowid_name_;       // the name that reaches the rowid, when the key is the rowid
  std::vector<int> key_fields_;  // without rowid: the fields of the key, in its order
  std::vector<UpdatePlan> plans_;
  std::shared_ptr<const RowIds> fixed_;  // the rows this cursor may visit, or none
  size_t next_fixed_ = 0;                // index of the next fixed row to meet

  // Row state: values assigned in edit mode, or stored by Update; they stand
  // for the statement's columns (whose snapshot predates the Update) until the
  // cursor moves. The stored values are read back when first asked for.
  enum : char { kFromStatement = 0, kAssigned = 1, kStored = 2 };
  bool editing_ = false;
  bool key_changed_ = false;  // an Update changed the key of the current row
  bool any_override_ = false;
  mutable int reread_plan_ = -1;  // the plan whose fields await reading back
  mutable std::vector<char> overridden_;
  std::vector<char> assigned_;
  mutable std::vector<Value> overrides_;
};

}  // namespace kelda::data
