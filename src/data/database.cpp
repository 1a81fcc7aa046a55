// Engine, database and table definitions over SQLite.
#include "data/database.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#ifdef _WIN32
#include <filesystem>
#endif

#include "base/error.h"
#include "data/db_core.h"
#include "data/server_name.h"

namespace kelda::data {

// Built by appending: GCC 12's -Wrestrict takes "'" + std::string(...) for
// an overlapping copy in optimised builds.
std::string Quoted(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  quoted += text;
  quoted += '\'';
  return quoted;
}

bool StartsWithQueryWord(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' ||
                             text[i] == '\n' || text[i] == '\f' || text[i] == '\v')) {
    ++i;
  }
  text.remove_prefix(i);
  for (std::string_view word : {std::string_view("SELECT"), std::string_view("WITH")}) {
    if (text.size() >= word.size() && SameName(text.substr(0, word.size()), word)) {
      if (text.size() == word.size()) return true;
      const char next = text[word.size()];
      const bool ident = (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
                         (next >= '0' && next <= '9') || next == '_' || next == '$' ||
                         static_cast<unsigned char>(next) >= 0x80;
      if (!ident) return true;
    }
  }
  return false;
}
namespace {

// SQLITE_TESTCTRL_OPTIMIZATIONS bit of the planner's covering-index scans.
// With it off, a query over one table walks the table itself, so every row
// source over a table sees its rows in the table's own order.
constexpr int kCoveringIndexScan = 0x00000020;

// Log frames between two checkpoints tried after commits. While a cursor is
// in the middle of a scan a checkpoint cannot pass its snapshot, and SQLite's
// own automatic checkpoint would then try again on every commit, each try
// costing a sort of the whole log.
constexpr int kCheckpointFrames = 1000;

// Pause between two attempts at a lock SQLite does not wait for.
constexpr int kLockRetryMs = 5;

// Idle pool connections kept for later cursors.
constexpr size_t kMaxIdleConnections = 4;

// Virtual-machine steps of a statement between two interrupt checks: often
// enough to stop within a moment, rare enough to cost nothing measurable.
constexpr int kProgressSteps = 10000;

// Paths are UTF-8. Windows' narrow file functions would read them in the ANSI
// code page and miss every file whose name is not ASCII.
#ifdef _WIN32
using FileStatus = struct _stat64;
std::wstring NativePath(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end())).native();
}
int StatFile(const std::string& path, FileStatus* st) {
  return ::_wstat64(NativePath(path).c_str(), st);
}
#else
using FileStatus = struct stat;
int StatFile(const std::string& path, FileStatus* st) { return ::stat(path.c_str(), st); }
#endif

// Refuses a path that names no regular file before SQLite sees it. Only the
// file's status is read: a descriptor opened and closed here would release
// every lock this process holds on the file through its other connections.
void CheckPath(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    RaiseDb(kErrDbFileNotFound, "Could not find file " + Quoted(path) + ".");
  }
  FileStatus st{};
  if (StatFile(path, &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      RaiseDb(kErrDbFileNotFound, "Could not find file " + Quoted(path) + ".");
    }
    RaiseDb(kErrCannotOpen, "Cannot open " + Quoted(path) + ": " + std::strerror(err) + ".");
  }
  if (S_ISDIR(st.st_mode)) {
    RaiseDb(kErrCannotOpen, "Cannot open " + Quoted(path) + ": it is a folder, not a file.");
  }
  if (!S_ISREG(st.st_mode)) {
    RaiseDb(kErrCannotOpen, "Cannot open " + Quoted(path) + ": it is not a regular file.");
  }
}

// The first bytes of a database file: what kind of file it is.
void CheckFileKind(const std::string& path, const unsigned char* header, size_t n) {
  if (n == 0) return;  // an empty file is an empty database
  const auto at = [&](size_t offset, const char* text) {
    const size_t len = std::strlen(text);
    return n >= offset + len && std::memcmp(header + offset, text, len) == 0;
  };
  if (at(4, "Standard Jet DB") || at(4, "Standard ACE DB")) {
    RaiseDb(kErrNotADatabase,
            Quoted(path) +
                " is a Microsoft Access database (.mdb/.accdb); this program reads SQLite "
                "database files only. Convert it to SQLite first, for example with the "
                "mdbtools package: mdb-schema " +
                Quoted(path) +
                " sqlite | sqlite3 OUT.db, then for each table: mdb-export -I sqlite " +
                Quoted(path) + " TABLE | sqlite3 OUT.db");
  }
  if (n < 16 || std::memcmp(header, "SQLite format 3", 16) != 0) {
    RaiseDb(kErrNotADatabase, Quoted(path) +
                                  " is not a database file this program can read: only SQLite "
                                  "database files are supported.");
  }
}

// Journal modes a file may be put back into (the text goes into a pragma).
bool IsRollbackMode(const std::string& mode) {
  for (const char* m : {"delete", "truncate", "persist"}) {
    if (SameName(mode, m)) return true;
  }
  return false;
}

std::string ColumnText(sqlite3_stmt* stmt, int i) {
  const unsigned char* p = sqlite3_column_text(stmt, i);
  const int n = sqlite3_column_bytes(stmt, i);
  return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

// ---- DatabaseCore ----------------------------------------------------------

DatabaseCore::DatabaseCore(std::string path, std::chrono::milliseconds busy_timeout,
                           StatementObserver observer, InterruptCheck interrupt)
    : path_(std::move(path)),
      busy_timeout_(busy_timeout),
      observer_(std::move(observer)),
      interrupt_(std::move(interrupt)) {}

DatabaseCore::~DatabaseCore() { Close(); }

std::shared_ptr<DatabaseCore> DatabaseCore::Open(const std::string& path,
                                                 std::chrono::milliseconds busy_timeout,
                                                 StatementObserver observer,
                                                 InterruptCheck interrupt,
                                                 std::shared_ptr<OpenedDatabases> opened) {
  CheckPath(path);
  std::shared_ptr<DatabaseCore> core(
      new DatabaseCore(path, busy_timeout, std::move(observer), std::move(interrupt)));
  core->writer_ = core->Connect();
  core->CheckHeader();
  // Reading the header page tells a damaged file, or a lock.
  core->Exec(core->writer_, "PRAGMA schema_version", "opening", path);
  core->read_only_ = sqlite3_db_readonly(core->writer_, "main") == 1;
  if (!core->read_only_) {
    Stmt mode = core->Prepare(core->writer_, "PRAGMA journal_mode", "opening", path);
    ResetOnExit reset(mode.get());
    if (check(sqlite3_step(mode.get()), core->writer_, "opening", path) == SQLITE_ROW) {
      core->file_mode_ = ColumnText(mode.get(), 0);
    }
    if (SameName(core->file_mode_, "wal")) core->EnterWal();
  }
  std::erase_if(*opened, [](const std::weak_ptr<DatabaseCore>& c) { return c.expired(); });
  opened->push_back(core);
  core->opened_ = std::move(opened);
  return core;
}

void DatabaseCore::CheckHeader() {
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(writer_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr) {
    return;  // no file of its own (an in-memory database)
  }
  sqlite3_int64 size = 0;
  check(file->pMethods->xFileSize(file, &size), writer_, "opening", path_);
  unsigned char header[100] = {};
  const int n = static_cast<int>(std::min<sqlite3_int64>(size, sizeof header));
  if (n > 0) {
    const int rc = file->pMethods->xRead(file, header, n, 0);
    if (rc != SQLITE_IOERR_SHORT_READ) check(rc, writer_, "opening", path_);
  }
  CheckFileKind(path_, header, static_cast<size_t>(n));
}

void DatabaseCore::UseWriteAheadLog(bool for_writes) {
  if (wal_ || read_only_ || writer_ == nullptr) return;
  Stmt wal = Prepare(writer_, "PRAGMA journal_mode=WAL", "opening", path_);
  // Leaving rollback mode takes an exclusive lock, for which SQLite does not
  // wait. Staying in rollback mode because another program held a lock for
  // a moment would be worse than waiting: a run's cursors would then hold
  // shared locks that block its own writes, and the other program's too.
  // So the switch waits like any other lock and gives up with 3218.
  const auto deadline = std::chrono::steady_clock::now() + busy_timeout_;
  bool switched = false;
  for (;;) {
    const int rc = sqlite3_step(wal.get());
    if (rc == SQLITE_ROW) {
      switched = SameName(ColumnText(wal.get(), 0), "wal");
      sqlite3_reset(wal.get());
      break;
    }
    sqlite3_reset(wal.get());
    if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) {
      // A file that cannot take a log (no shared memory for its index, say)
      // keeps its own mode; one that cannot take any journal (its folder is
      // read-only, its disk full) can take no change at all, and a stopped
      // switch stops.
      const int primary = rc & 0xff;
      if (primary == SQLITE_INTERRUPT ||
          (for_writes && (primary == SQLITE_READONLY || primary == SQLITE_FULL))) {
        RaiseSqlite(rc, writer_, "opening", path_);
      }
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) RaiseSqlite(rc, writer_, "opening", path_);
    sqlite3_sleep(kLockRetryMs);
  }
  if (!switched) return;
  if (IsRollbackMode(file_mode_)) restore_mode_ = file_mode_;
  EnterWal();
  for (sqlite3* conn : idle_) Exec(conn, "PRAGMA synchronous=NORMAL", "opening", path_);
}

void DatabaseCore::EnterWal() {
  wal_ = true;
  Exec(writer_, "PRAGMA synchronous=NORMAL", "opening", path_);
  next_checkpoint_ = kCheckpointFrames;
  sqlite3_wal_hook(writer_, &DatabaseCore::OnWalCommit, this);
  const char* file = sqlite3_db_filename(writer_, "main");
  if (file != nullptr && *file != '\0') {
    log_ = IdOf(std::string(file) + "-wal");
    log_index_ = IdOf(std::string(file) + "-shm");
  }
}

void DatabaseCore::RestoreJournalMode() {
  if (restore_mode_.empty() || moved_ || writer_ == nullptr) return;
  const char* mine = sqlite3_db_filename(writer_, "main");
  if (opened_ && mine != nullptr) {
    for (const std::weak_ptr<DatabaseCore>& c : *opened_) {
      std::shared_ptr<DatabaseCore> other = c.lock();
      if (!other || other.get() == this || other->closed()) continue;
      const char* theirs = sqlite3_db_filename(other->writer_, "main");
      if (theirs != nullptr && std::strcmp(theirs, mine) == 0) {
        if (other->restore_mode_.empty()) other->restore_mode_ = restore_mode_;
        return;
      }
    }
  }
  // Another connection, of this process or another, keeps the file in
  // write-ahead mode by holding it open: then the switch fails at once and
  // the file stays as it is.
  sqlite3_busy_timeout(writer_, 0);
  sqlite3_exec(writer_, ("PRAGMA journal_mode=" + restore_mode_).c_str(), nullptr, nullptr,
               nullptr);
}

DatabaseCore::FileId DatabaseCore::IdOf(std::string path) {
  FileId id;
  FileStatus st{};
  if (StatFile(path, &st) == 0) {
    id.known = true;
    id.dev = static_cast<unsigned long long>(st.st_dev);
    id.ino = static_cast<unsigned long long>(st.st_ino);
  }
  id.path = std::move(path);
  return id;
}

int DatabaseCore::OnWalCommit(void* arg, sqlite3* db, const char* schema, int frames) {
  auto* core = static_cast<DatabaseCore*>(arg);
  if (frames < core->log_frames_) core->next_checkpoint_ = kCheckpointFrames;  // log restarted
  core->log_frames_ = frames;
  if (frames >= core->next_checkpoint_) {
    sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    core->next_checkpoint_ = frames + kCheckpointFrames;
  }
  return SQLITE_OK;
}

bool DatabaseCore::LogWorthFolding() const {
  int frames = -1;
  for (const std::weak_ptr<DatabaseCore>& c : *opened_) {
    const std::shared_ptr<DatabaseCore> core = c.lock();
    if (core && core->path_ == path_) frames = std::max(frames, core->log_frames_);
  }
  return frames < 0 || frames >= kCheckpointFrames;
}

int DatabaseCore::OnProgress(void* arg) {
  const auto* core = static_cast<const DatabaseCore*>(arg);
  return core->interrupt_ && core->interrupt_() ? 1 : 0;
}

sqlite3* DatabaseCore::Connect() {
  // A path that begins with "file:" is still a path: SQLite may be built to
  // read such names as URIs.
  const std::string file = path_.rfind("file:", 0) == 0 ? "./" + path_ : path_;
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(file.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE, nullptr);
  struct CloseOnError {
    sqlite3* db;
    bool keep = false;
    ~CloseOnError() {
      if (!keep) sqlite3_close_v2(db);
    }
  } guard{db};
  if (db == nullptr) RaiseDb(kErrDatabase, "Out of memory opening " + Quoted(path_) + ".");
  check(rc, db, "opening", path_);
  sqlite3_extended_result_codes(db, 1);
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(busy_timeout_.count(), 0, 1 << 30);
  sqlite3_busy_timeout(db, static_cast<int>(ms));
  sqlite3_test_control(SQLITE_TESTCTRL_OPTIMIZATIONS, db, kCoveringIndexScan);
  if (interrupt_) sqlite3_progress_handler(db, kProgressSteps, &DatabaseCore::OnProgress, this);
  if (wal_) Exec(db, "PRAGMA synchronous=NORMAL", "opening", path_);
  guard.keep = true;
  return db;
}

void DatabaseCore::ShowFixedRows(sqlite3* conn) {
  for (const FixedRows& fixed : fixed_) {
    // The view comes last: a connection that has it has the whole set.
    Stmt view = Prepare(conn, "SELECT 1 FROM temp.sqlite_schema WHERE type = 'view' AND name = ?1",
                        "fixing the rows of", fixed.table);
    ResetOnExit reset(view.get());
    sqlite3_bind_text(view.get(), 1, fixed.table.c_str(), static_cast<int>(fixed.table.size()),
                      SQLITE_STATIC);
    if (check(sqlite3_step(view.get()), conn, "fixing the rows of", fixed.table) == SQLITE_ROW) {
      continue;
    }
    Exec(conn, "PRAGMA temp_store=MEMORY", "fixing the rows of", fixed.table);
    InstallFixedRows(conn, fixed);
  }
}

void DatabaseCore::InstallFixedRows(sqlite3* conn, const FixedRows& fixed) {
  // The rowids go into a temporary table of this connection, and a temporary
  // view of the table's name shows only those rows: SQLite resolves a name
  // in the temporary schema first, so every query text over the table reads
  // the fixed rows as it stands.
  Exec(conn, "CREATE TEMP TABLE " + SqlName(fixed.keys) + "(id INTEGER PRIMARY KEY)",
       "fixing the rows of", fixed.table);
  Exec(conn, "BEGIN", "fixing the rows of", fixed.table);
  RollbackUnlessDone rollback(conn);
  {
    Stmt insert = Prepare(conn, "INSERT INTO temp." + SqlName(fixed.keys) + "(id) VALUES(?1)",
                          "fixing the rows of", fixed.table);
    for (const int64_t id : *fixed.rows) {
      ResetOnExit reset(insert.get());
      check(sqlite3_bind_int64(insert.get(), 1, id), conn, "fixing the rows of", fixed.table);
      check(sqlite3_step(insert.get()), conn, "fixing the rows of", fixed.table);
    }
  }
  Exec(conn, "COMMIT", "fixing the rows of", fixed.table);
  rollback.Done();
  Exec(conn,
       "CREATE TEMP VIEW " + SqlName(fixed.table) + " AS SELECT * FROM main." +
           SqlName(fixed.table) + " WHERE " + SqlName(fixed.rowid) + " IN temp." +
           SqlName(fixed.keys),
       "fixing the rows of", fixed.table);
}

void DatabaseCore::FixRows(const std::string& table, std::shared_ptr<const RowIds> rows,
                           uint32_t schema_version) {
  sqlite3* conn = writer();
  if (!recordsets_.empty()) {
    RaiseDb(kErrInvalidOperation,
            "The rows of a table are fixed before any recordset of the database is opened.");
  }
  TableInfo info;
  const bool found = FindTable(conn, table, &info);
  // Held also for a table whose rows have no rowid: its columns are still
  // found by position.
  HoldSchema(found ? info.name : table, schema_version);
  if (rows == nullptr || !found || info.without_rowid) return;
  if (FixedRowsOf(info.name) != nullptr) return;
  FixedRows fixed;
  fixed.table = info.name;
  fixed.rows = std::move(rows);
  for (const char* alias : {"rowid", "_rowid_", "oid"}) {
    const bool taken = std::any_of(info.columns.begin(), info.columns.end(),
                                   [&](const ColumnInfo& c) { return SameName(c.name, alias); });
    if (!taken) {
      fixed.rowid = alias;
      break;
    }
  }
  if (fixed.rowid.empty()) return;  // every name of the rowid is a column's
  // A name no table of the file has: the temporary table must not hide one.
  for (int n = static_cast<int>(fixed_.size());; ++n) {
    fixed.keys = "kelda_fixed_rows_" + std::to_string(n);
    TableInfo clash;
    if (!FindTable(conn, fixed.keys, &clash)) break;
  }
  fixed_.push_back(std::move(fixed));
}

const DatabaseCore::FixedRows* DatabaseCore::FixedRowsOf(std::string_view table) const {
  for (const FixedRows& fixed : fixed_) {
    if (fixed.table == table) return &fixed;
  }
  return nullptr;
}

void DatabaseCore::GroupUpdates(std::chrono::milliseconds window) {
  writer();
  group_window_ = window;
}

void DatabaseCore::CommitUpdates() {
  group_window_.reset();
  CommitGroup();
}

void DatabaseCore::BeforeWrite() {
  sqlite3* conn = writer();
  // An error SQLite cannot undo statement by statement (a full disk, say)
  // rolls the whole group back.
  if (group_open_ && sqlite3_get_autocommit(conn)) group_open_ = false;
  if (group_open_) return;
  CheckInPlace();
  // With a version held, even a single row is written in a transaction of
  // its own: the version read inside it cannot change before the row is
  // written.
  if (!group_window_ && !held_schema_) return;
  Exec(conn, "BEGIN IMMEDIATE", "updating", path_);
  if (held_schema_) {
    // The transaction holds nothing yet: a refusal leaves it.
    RollbackUnlessDone rollback(conn);
    CheckSchema(SchemaVersion(conn, writer_schema_));
    rollback.Done();
  }
  group_open_ = true;
  single_write_ = !group_window_;
  group_began_ = std::chrono::steady_clock::now();
}

void DatabaseCore::AfterWrite() {
  if (group_open_ &&
      (single_write_ || std::chrono::steady_clock::now() - group_began_ >= *group_window_)) {
    CommitGroup();
  }
}

void DatabaseCore::EndFailedWrite() {
  if (!group_open_ || !single_write_ || writer_ == nullptr) return;
  group_open_ = false;
  if (!sqlite3_get_autocommit(writer_)) {
    sqlite3_exec(writer_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

uint32_t DatabaseCore::SchemaVersion(sqlite3* conn, Stmt& cache) {
  if (!cache) {
    cache = Prepare(conn, "PRAGMA main.schema_version", "reading the schema version of", path_);
  }
  ResetOnExit reset(cache.get());
  check(sqlite3_step(cache.get()), conn, "reading the schema version of", path_);
  return static_cast<uint32_t>(sqlite3_column_int64(cache.get(), 0));
}

void DatabaseCore::RaiseRestructured() const {
  RaiseDb(kErrRestructured,
          "Another program restructured or vacuumed table " + Quoted(held_table_) + " of " +
              Quoted(path_) +
              " while it was in use (a VACUUM renumbers the rows; a table, column, index, view "
              "or trigger was created, changed or dropped): its rows can no longer be found by "
              "the keys read before, so nothing more is read from or written to it. Every row "
              "holds its old value or what was written to it before the change.");
}

void DatabaseCore::AdoptOwnChange(uint32_t before, uint32_t after) {
  if (held_schema_ == before) held_schema_ = after;
}

void DatabaseCore::CommitGroup() {
  if (!group_open_ || writer_ == nullptr) return;
  if (sqlite3_get_autocommit(writer_)) {
    group_open_ = false;
    return;
  }
  CheckInPlace();
  group_open_ = false;
  Exec(writer_, "COMMIT", "committing", path_);
}

void DatabaseCore::EndGroupQuietly() {
  if (!group_open_ || writer_ == nullptr) return;
  group_open_ = false;
  if (sqlite3_get_autocommit(writer_)) return;
  if (sqlite3_exec(writer_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_exec(writer_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

uint64_t DatabaseCore::DataVersion() {
  sqlite3* conn = writer();
  // Asked at every epoch of a run: prepared once.
  if (!data_version_) {
    data_version_ = Prepare(conn, "PRAGMA data_version", "reading the data version of", path_);
  }
  ResetOnExit reset(data_version_.get());
  check(sqlite3_step(data_version_.get()), conn, "reading the data version of", path_);
  return static_cast<uint64_t>(sqlite3_column_int64(data_version_.get(), 0));
}

sqlite3* DatabaseCore::writer() {
  if (writer_ == nullptr) RaiseClosed();
  return writer_;
}

sqlite3* DatabaseCore::AcquireReader() {
  if (writer_ == nullptr) RaiseClosed();
  if (!idle_.empty()) {
    sqlite3* conn = idle_.back();
    idle_.pop_back();
    return conn;
  }
  return Connect();
}

void DatabaseCore::ReleaseReader(sqlite3* conn) {
  if (writer_ != nullptr && idle_.size() < kMaxIdleConnections) {
    idle_.push_back(conn);
  } else {
    sqlite3_close_v2(conn);
  }
}

Stmt DatabaseCore::Prepare(sqlite3* conn, std::string_view sql, std::string_view what,
                           std::string_view subject, const char** tail) {
  if (observer_) observer_(std::string(sql));
  if (sql.size() > static_cast<size_t>(1 << 30)) {
    RaiseDb(kErrDatabase, "SQL text too long (" + std::to_string(sql.size()) + " bytes).");
  }
  sqlite3_stmt* raw = nullptr;
  const char* end = nullptr;
  const int rc = sqlite3_prepare_v2(conn, sql.data(), static_cast<int>(sql.size()), &raw, &end);
  Stmt stmt(raw);
  check(rc, conn, what, subject.empty() ? sql : subject);
  if (tail != nullptr) *tail = end;
  return stmt;
}

void DatabaseCore::Exec(sqlite3* conn, std::string_view sql, std::string_view what,
                        std::string_view subject) {
  Stmt stmt = Prepare(conn, sql, what, subject);
  if (!stmt) return;
  ResetOnExit reset(stmt.get());
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
  }
  check(rc, conn, what, subject.empty() ? sql : subject);
}

bool DatabaseCore::FindTable(sqlite3* conn, std::string_view name, TableInfo* info) {
  {
    Stmt s = Prepare(conn,
                     "SELECT name, wr, strict FROM pragma_table_list "
                     "WHERE schema = 'main' AND type = 'table' AND name = ?1 COLLATE NOCASE",
                     "looking up table", name);
    ResetOnExit reset(s.get());
    sqlite3_bind_text(s.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    if (check(sqlite3_step(s.get()), conn, "looking up table", name) != SQLITE_ROW) return false;
    info->name = ColumnText(s.get(), 0);
    info->without_rowid = sqlite3_column_int(s.get(), 1) != 0;
    info->strict = sqlite3_column_int(s.get(), 2) != 0;
  }
  info->columns.clear();
  info->key.clear();
  {
    Stmt s = Prepare(conn,
                     "SELECT name, type, pk FROM pragma_table_xinfo(?1, 'main') "
                     "WHERE hidden <> 1 ORDER BY cid",
                     "reading the columns of", info->name);
    ResetOnExit reset(s.get());
    sqlite3_bind_text(s.get(), 1, info->name.c_str(), static_cast<int>(info->name.size()),
                      SQLITE_STATIC);
    while (check(sqlite3_step(s.get()), conn, "reading the columns of", info->name) == SQLITE_ROW) {
      ColumnInfo c;
      c.name = ColumnText(s.get(), 0);
      c.declared_type = ColumnText(s.get(), 1);
      c.affinity = AffinityOf(c.declared_type, info->strict);
      c.pk = sqlite3_column_int(s.get(), 2);
      info->columns.push_back(std::move(c));
    }
  }
  if (!info->without_rowid) return true;
  // The table's own order is that of its primary-key index: its columns,
  // directions and collations.
  std::string pk_index;
  {
    Stmt s = Prepare(conn, "SELECT name FROM pragma_index_list(?1, 'main') WHERE origin = 'pk'",
                     "reading the key of", info->name);
    ResetOnExit reset(s.get());
    sqlite3_bind_text(s.get(), 1, info->name.c_str(), static_cast<int>(info->name.size()),
                      SQLITE_STATIC);
    if (check(sqlite3_step(s.get()), conn, "reading the key of", info->name) == SQLITE_ROW) {
      pk_index = ColumnText(s.get(), 0);
    }
  }
  if (!pk_index.empty()) {
    Stmt s = Prepare(conn,
                     "SELECT name, desc, coll FROM pragma_index_xinfo(?1, 'main') "
                     "WHERE key = 1 ORDER BY seqno",
                     "reading the key of", info->name);
    ResetOnExit reset(s.get());
    sqlite3_bind_text(s.get(), 1, pk_index.c_str(), static_cast<int>(pk_index.size()),
                      SQLITE_STATIC);
    while (check(sqlite3_step(s.get()), conn, "reading the key of", info->name) == SQLITE_ROW) {
      const std::string col = ColumnText(s.get(), 0);
      for (size_t i = 0; i < info->columns.size(); ++i) {
        if (info->columns[i].name == col) {
          info->key.push_back(KeyPart{static_cast<int>(i), sqlite3_column_int(s.get(), 1) != 0,
                                      ColumnText(s.get(), 2)});
          break;
        }
      }
    }
  }
  if (info->key.empty()) {
    for (int pos = 1;; ++pos) {
      bool found = false;
      for (size_t i = 0; i < info->columns.size(); ++i) {
        if (info->columns[i].pk == pos) {
          info->key.push_back(KeyPart{static_cast<int>(i), false, {}});
          found = true;
        }
      }
      if (!found) break;
    }
  }
  return true;
}

void DatabaseCore::Register(RecordsetCore* rs) { recordsets_.push_back(rs); }

void DatabaseCore::Unregister(RecordsetCore* rs) {
  auto it = std::find(recordsets_.begin(), recordsets_.end(), rs);
  if (it != recordsets_.end()) recordsets_.erase(it);
}

void DatabaseCore::CloseReaders() {
  std::vector<RecordsetCore*> open = std::move(recordsets_);
  recordsets_.clear();
  for (RecordsetCore* rs : open) rs->Detach();
  for (sqlite3* conn : idle_) sqlite3_close_v2(conn);
  idle_.clear();
}

void DatabaseCore::Close() {
  if (writer_ == nullptr) return;
  CloseReaders();
  EndGroupQuietly();
  writer_schema_.reset();
  data_version_.reset();
  RestoreJournalMode();
  sqlite3_close_v2(writer_);
  writer_ = nullptr;
}

void DatabaseCore::RaiseClosed() const {
  RaiseDb(kErrObjectClosed,
          "The database " + Quoted(path_) + " has been closed" +
              (moved_ ? ": its file was deleted, moved or replaced while it was open." : "."));
}

bool DatabaseCore::Moved() const {
  if (writer_ == nullptr) return false;
  int moved = 0;
  // A file system whose VFS cannot tell answers "not found": never moved.
  return sqlite3_file_control(writer_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
         moved != 0;
}

void DatabaseCore::CheckInPlace() {
  if (!Moved()) return;
  AbandonMovedFiles(*opened_);
  RaiseDb(kErrIo, "The database file " + Quoted(path_) +
                      " was deleted, moved or replaced by another program while it was open: "
                      "nothing more is written to it.");
}

void DatabaseCore::AbandonMovedFiles(OpenedDatabases& opened) {
  std::vector<std::shared_ptr<DatabaseCore>> moved;
  for (const std::weak_ptr<DatabaseCore>& c : opened) {
    std::shared_ptr<DatabaseCore> core = c.lock();
    if (core && core->Moved()) moved.push_back(std::move(core));
  }
  if (moved.empty()) return;
  // Cursors in the middle of a scan would hold the checkpoint back; an open
  // group of updates goes into the old file with the rest of its log.
  for (const auto& core : moved) {
    core->CloseReaders();
    core->EndGroupQuietly();
  }
  for (const auto& core : moved) {
    if (core->wal_) {
      sqlite3_wal_checkpoint_v2(core->writer_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                nullptr);
    }
  }
  for (const auto& core : moved) {
    core->moved_ = true;
    core->Close();
  }
  // Only the files these databases created: a log that has been replaced
  // since belongs to someone else.
  for (const auto& core : moved) {
    for (const FileId* file : {&core->log_, &core->log_index_}) {
      if (!file->known) continue;
      const FileId now = IdOf(file->path);
      if (now.known && now.dev == file->dev && now.ino == file->ino) {
        std::remove(file->path.c_str());
      }
    }
  }
}

// ---- The file engine's DatabaseBackend ---------------------------------------

namespace {

TableInfo ReadTable(DatabaseCore& core, const std::string& table) {
  TableInfo info;
  if (!core.FindTable(core.writer(), table, &info)) {
    RaiseDb(kErrTableNotFound,
            "Table " + Quoted(table) + " not found in database " + Quoted(core.path()) + ".");
  }
  return info;
}

}  // namespace

std::unique_ptr<RecordsetBackend> DatabaseCore::OpenRecordset(const std::string& source) {
  struct Loan {
    DatabaseCore& core;
    sqlite3* conn;
    ~Loan() {
      if (conn != nullptr) core.ReleaseReader(conn);
    }
    sqlite3* Give() { return std::exchange(conn, nullptr); }
  } loan{*this, AcquireReader()};
  TableInfo info;
  if (FindTable(loan.conn, source, &info)) {
    UseWriteAheadLog(true);
    return std::make_unique<RecordsetCore>(shared_from_this(), loan.Give(), std::move(info));
  }
  if (StartsWithQueryWord(source)) {
    if (!fixed_.empty()) {
      // A connection that failed to take the rows whole is not lent again.
      try {
        ShowFixedRows(loan.conn);
      } catch (...) {
        sqlite3_close_v2(loan.Give());
        throw;
      }
    }
    return std::make_unique<RecordsetCore>(shared_from_this(), loan.Give(), source);
  }
  RaiseDb(kErrTableNotFound,
          "Table " + Quoted(source) + " not found in database " + Quoted(path_) + ".");
}

std::unique_ptr<RecordsetBackend> DatabaseCore::OpenColumns(const ColumnQuery& query) {
  // The host's own text: a file reads its queries as written.
  return OpenRecordset(query.sql);
}

std::string DatabaseCore::FindTableDef(const std::string& name) {
  TableInfo info;
  if (!FindTable(writer(), name, &info)) {
    RaiseDb(kErrItemNotFound, "No table " + Quoted(name) + " in database " + Quoted(path_) + ".");
  }
  return info.name;
}

std::vector<std::string> DatabaseCore::ColumnNames(const std::string& table) {
  std::vector<std::string> names;
  for (ColumnInfo& c : ReadTable(*this, table).columns) names.push_back(std::move(c.name));
  return names;
}

uint32_t DatabaseCore::AppendField(const std::string& table, const FieldDef& def) {
  if (def.type != kDbDouble) {
    RaiseDb(kErrInvalidFieldType, "Cannot add column " + Quoted(def.name) + ": type " +
                                      std::to_string(def.type) +
                                      " is not supported; only 7 (double) is.");
  }
  CheckInPlace();
  sqlite3* conn = writer();
  if (read_only()) {
    RaiseDb(kErrReadOnly, "The database " + Quoted(path_) + " is read-only: cannot add column " +
                              Quoted(def.name) + " to table " + Quoted(table) + ".");
  }
  ReadTable(*this, table);  // a file without the table keeps its journal mode
  UseWriteAheadLog(true);
  CommitGroup();
  // The schema version is read before and after the change in one
  // transaction, so that a database holding its rows' keys knows the
  // change for its own.
  Exec(conn, "BEGIN IMMEDIATE", "adding a column to", table);
  RollbackUnlessDone rollback(conn);
  Stmt version;
  const uint32_t before = SchemaVersion(conn, version);
  CheckSchema(before);
  const TableInfo info = ReadTable(*this, table);
  for (const ColumnInfo& c : info.columns) {
    if (SameName(c.name, def.name)) {
      RaiseDb(kErrFieldExists, "Table " + Quoted(info.name) + " already has a column named " +
                                   Quoted(c.name) + " (names are compared ignoring case); " +
                                   "cannot add " + Quoted(def.name) + ".");
    }
  }
  Exec(conn, "ALTER TABLE " + SqlName(info.name) + " ADD COLUMN " + SqlName(def.name) + " REAL",
       "adding a column to", info.name);
  const uint32_t after = SchemaVersion(conn, version);
  version.reset();
  Exec(conn, "COMMIT", "adding a column to", info.name);
  rollback.Done();
  AdoptOwnChange(before, after);
  return after;
}

// ---- DBEngine --------------------------------------------------------------

DBEngine::DBEngine() : opened_(std::make_shared<OpenedDatabases>()) {}
DBEngine::~DBEngine() = default;

Database DBEngine::OpenDatabase(const std::string& path) {
  if (IsServerName(path)) {
    return Database(OpenServerDatabase(path, busy_timeout_, observer_, interrupt_));
  }
  // A database still open on a file that has been replaced would hand its
  // log to the file now at that path.
  DatabaseCore::AbandonMovedFiles(*opened_);
  return Database(DatabaseCore::Open(path, busy_timeout_, observer_, interrupt_, opened_));
}

// ---- Table definitions -----------------------------------------------------

TableDefFields::TableDefFields(std::shared_ptr<DatabaseBackend> core, std::string table)
    : core_(std::move(core)), table_(std::move(table)) {}

int TableDefFields::Count() const { return static_cast<int>(core_->ColumnNames(table_).size()); }

std::string TableDefFields::Name(int i) const {
  std::vector<std::string> names = core_->ColumnNames(table_);
  if (i < 0 || i >= static_cast<int>(names.size())) {
    RaiseDb(kErrItemNotFound, "Table " + Quoted(table_) + " has no column " + std::to_string(i) +
                                  " (it has " + std::to_string(names.size()) + ").");
  }
  return names[static_cast<size_t>(i)];
}

uint32_t TableDefFields::Append(const FieldDef& def) { return core_->AppendField(table_, def); }

TableDef::TableDef(std::shared_ptr<DatabaseBackend> core, std::string table)
    : table_(table), fields_(std::move(core), std::move(table)) {}

// ---- Database --------------------------------------------------------------

Database::Database(std::shared_ptr<DatabaseBackend> core) : core_(std::move(core)) {}
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

namespace {

DatabaseBackend& Open(const std::shared_ptr<DatabaseBackend>& core) {
  if (!core) RaiseDb(kErrObjectClosed, "The database has been closed.");
  return *core;
}

}  // namespace

Recordset Database::OpenRecordset(const std::string& source) {
  return Recordset(Open(core_).OpenRecordset(source));
}

Recordset Database::OpenColumns(const ColumnQuery& query) {
  return Recordset(Open(core_).OpenColumns(query));
}

TableDef Database::TableDefs(const std::string& name) {
  return TableDef(core_, Open(core_).FindTableDef(name));
}

void Database::GroupUpdates(std::chrono::milliseconds window) { Open(core_).GroupUpdates(window); }
void Database::CommitGroup() { Open(core_).CommitGroup(); }
void Database::CommitUpdates() { Open(core_).CommitUpdates(); }
uint64_t Database::DataVersion() { return Open(core_).DataVersion(); }

void Database::FixRows(const std::string& table, std::shared_ptr<const RowIds> rows,
                       uint32_t schema_version) {
  Open(core_).FixRows(table, std::move(rows), schema_version);
}

void Database::Close() {
  if (core_) core_->Close();
}

const std::string& Database::Name() const {
  static const std::string kNone;
  return core_ ? core_->Name() : kNone;
}

}  // namespace kelda::data
