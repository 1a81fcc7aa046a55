// New tables in an SQLite file, in one transaction; a missing file is made
// under a scratch name and takes its name only once whole.
#include "data/sqlite_new_tables.h"

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "data/db_core.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#endif

namespace kelda::data {

#ifdef _WIN32

// The component only reads tables that exist: no build for Windows makes
// database files.
void MakeNewSqliteTables(const std::string& path, const NewTable&, const std::optional<KeyedTable>&,
                         const NewTablesOptions&) {
  Raise(kErrCannotOpen, StandardErrorText(kErrCannotOpen) + ": cannot create the database '" +
                            path + "': this build makes no database files");
}

#else

namespace {

// The layer's numbers (db_core.h), with texts of import's own, which its
// users have come to rely on.
[[noreturn]] void RaiseSqlite(sqlite3* db, int code, const std::string& what) {
  const std::string text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  const int32_t number = ErrorNumberFor(code, text);
  if (number == kErrUserInterrupt) Raise(kErrUserInterrupt);
  Raise(number, what + ": " + text);
}

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

bool Interrupted(const NewTablesOptions& options) {
  return options.interrupt && options.interrupt();
}

class Writer {
 public:
  // Opens `path` (which must exist: nothing here creates a file) and begins
  // the transaction. `shown` names the database in errors: the path the
  // caller gave, also while a new database is written under a scratch name.
  // The interrupt check stops a statement within a few thousand steps.
  Writer(const std::string& path, std::string shown, const NewTablesOptions& options)
      : shown_(std::move(shown)), options_(options) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    db_.reset(raw);
    if (rc != SQLITE_OK) RaiseSqlite(raw, rc, "cannot open " + Quoted(path));
    sqlite3_busy_timeout(raw, static_cast<int>(options.busy_timeout.count()));
    sqlite3_progress_handler(
        raw, 1000,
        [](void* o) -> int {
          return Interrupted(*static_cast<const NewTablesOptions*>(o)) ? 1 : 0;
        },
        const_cast<NewTablesOptions*>(&options_));
    Exec("BEGIN IMMEDIATE");
    open_ = true;
  }
  ~Writer() {
    if (open_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void Exec(const std::string& sql) {
    const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) RaiseSqlite(db_.get(), rc, Quoted(shown_));
  }

  bool HasTable(const std::string& name) {
    Statement s = Prepare(
        "SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 "
        "COLLATE NOCASE");
    sqlite3_bind_text(s.get(), 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) RaiseSqlite(db_.get(), rc, shown_);
    return rc == SQLITE_ROW;
  }

  Statement Prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    const int rc = sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &s, nullptr);
    Statement statement(s);
    if (rc != SQLITE_OK) RaiseSqlite(db_.get(), rc, Quoted(shown_));
    return statement;
  }

  // Binds `key` (when given, as the first parameter) and `values` (a Null
  // for nullopt), runs the statement once and returns the rowid of the row
  // it inserted.
  int64_t Insert(sqlite3_stmt* s, std::optional<int64_t> key, const NewRow& values) {
    sqlite3_reset(s);
    int index = 1;
    if (key) sqlite3_bind_int64(s, index++, *key);
    for (const std::optional<double>& v : values) {
      if (v) {
        sqlite3_bind_double(s, index++, *v);
      } else {
        sqlite3_bind_null(s, index++);
      }
    }
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) RaiseSqlite(db_.get(), rc, Quoted(shown_));
    return sqlite3_last_insert_rowid(db_.get());
  }

  void Commit() {
    // The last moment an interrupt leaves the database as it was.
    if (Interrupted(options_)) Raise(kErrUserInterrupt);
    Exec("COMMIT");
    open_ = false;
  }

 private:
  std::string shown_;
  const NewTablesOptions& options_;
  std::unique_ptr<sqlite3, DbCloser> db_;
  bool open_ = false;
};

std::string Placeholders(std::size_t n) {
  std::string s;
  for (std::size_t i = 1; i <= n; ++i) s += (i > 1 ? ", ?" : "?") + std::to_string(i);
  return s;
}

std::string RealColumns(const std::vector<std::string>& names) {
  std::string columns;
  for (const std::string& name : names)
    columns += (columns.empty() ? "" : ", ") + SqlName(name) + " REAL";
  return columns;
}

// Writes the tables into the database at `path` and commits.
void WriteTables(const std::string& path, const std::string& shown, const NewTable& table,
                 const std::optional<KeyedTable>& keyed, const NewTablesOptions& options) {
  Writer db(path, shown, options);
  for (const std::string& name :
       keyed ? std::vector{table.name, keyed->name} : std::vector{table.name}) {
    if (db.HasTable(name)) RaiseTableExists(name, shown);
  }
  db.Exec("CREATE TABLE " + SqlName(table.name) + " (" + RealColumns(table.columns) + ")");
  std::string names;
  for (const std::string& name : table.columns)
    names += (names.empty() ? "" : ", ") + SqlName(name);
  // SQLite numbers the rows itself: a column named rowid, oid or _rowid_ is
  // the table's own and gets the values given.
  Statement insert = db.Prepare("INSERT INTO " + SqlName(table.name) + " (" + names + ") VALUES (" +
                                Placeholders(table.columns.size()) + ")");
  std::vector<int64_t> rowids;
  rowids.reserve(table.rows.size());
  for (const NewRow& row : table.rows) rowids.push_back(db.Insert(insert.get(), std::nullopt, row));
  if (keyed) {
    std::string columns = SqlName(keyed->key_column) + " INTEGER PRIMARY KEY";
    if (!keyed->columns.empty()) columns += ", " + RealColumns(keyed->columns);
    db.Exec("CREATE TABLE " + SqlName(keyed->name) + " (" + columns + ")");
    Statement insert_keyed = db.Prepare("INSERT INTO " + SqlName(keyed->name) + " VALUES (" +
                                        Placeholders(keyed->columns.size() + 1) + ")");
    for (std::size_t i = 0; i < keyed->rows.size(); ++i) {
      db.Insert(insert_keyed.get(), rowids.at(keyed->of_rows.at(i)), keyed->rows[i]);
    }
  }
  db.Commit();
}

// The error of a file operation on `path`.
[[noreturn]] void RaiseFile(int32_t number, const std::string& what, const std::string& path,
                            int error) {
  Raise(number,
        StandardErrorText(number) + ": " + what + " " + Quoted(path) + ": " + std::strerror(error));
}

// A new, empty file beside `path` that no one else knows of: the new
// database is written there and takes its name only once it is whole.
std::string CreateScratchFile(const std::string& path) {
  const std::filesystem::path target(path);
  std::random_device entropy;
  for (int attempt = 0;; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(entropy()));
    const std::string name =
        "." + target.filename().string() + ".import-" + std::to_string(::getpid()) + "-" + suffix;
    const std::string scratch = (target.parent_path() / name).string();
    // No connection of this process has the file open yet: closing the
    // descriptor drops no lock.
    const int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return scratch;
    }
    if (errno != EEXIST || attempt == 100) {
      RaiseFile(kErrCannotOpen, "cannot create the database", path, errno);
    }
  }
}

void RemoveScratchFile(const std::string& scratch) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    ::unlink((scratch + suffix).c_str());
  }
}

// Gives the whole scratch database the name `path` unless something has
// taken that name meanwhile; false then.
bool PutInPlace(const std::string& scratch, const std::string& path) {
  // A hard link never replaces what is there; a file system without them
  // gets a rename that does not either.
  int rc = ::link(scratch.c_str(), path.c_str());
  if (rc != 0 && errno != EEXIST) {
    rc = ::renameat2(AT_FDCWD, scratch.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  }
  const int error = errno;
  RemoveScratchFile(scratch);
  if (rc == 0) return true;
  if (error == EEXIST) return false;
  RaiseFile(kErrCannotOpen, "cannot create the database", path, error);
}

// Where the database stands: a file (or a link to one) to write into, or no
// file at all. A link to a missing file is refused: creating the file it
// names would put the database somewhere the caller never asked for.
bool DatabaseExists(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    RaiseFile(kErrCannotOpen, "cannot open the database", path, errno);
  }
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) {
    Raise(kErrCannotOpen, StandardErrorText(kErrCannotOpen) + ": the database " + Quoted(path) +
                              " is a symbolic link to a missing file; give the path of the file "
                              "itself");
  }
  return true;
}

}  // namespace

void MakeNewSqliteTables(const std::string& path, const NewTable& table,
                         const std::optional<KeyedTable>& keyed, const NewTablesOptions& options) {
  for (;;) {
    if (DatabaseExists(path)) {
      // Someone else's file: an error leaves it as it was, rolled back.
      WriteTables(path, path, table, keyed, options);
      return;
    }
    const std::string scratch = CreateScratchFile(path);
    try {
      WriteTables(scratch, path, table, keyed, options);
      if (Interrupted(options)) Raise(kErrUserInterrupt);
    } catch (...) {
      RemoveScratchFile(scratch);
      throw;
    }
    // Another writer that made the file first: the tables go into that one.
    if (PutInPlace(scratch, path)) return;
  }
}

#endif

}  // namespace kelda::data
