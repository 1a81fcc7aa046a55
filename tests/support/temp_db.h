// Test support: throw-away database files and raw SQLite access behind the
// data-access layer's back.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/value.h"

namespace kelda::test {

using Row = std::vector<Value>;

// A raw SQLite connection (another program, as far as kelda can tell).
class RawDb {
 public:
  explicit RawDb(const std::string& path, int flags = SQLITE_OPEN_READWRITE);
  ~RawDb();
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  sqlite3* get() const { return db_; }
  // Runs every statement of `sql`; throws std::runtime_error on failure.
  void Exec(std::string_view sql) const;
  // Runs every statement of `sql`; returns the first failing result code.
  int TryExec(std::string_view sql) const;
  // The rows of the one statement `sql` (integers as doubles, as kelda reads them).
  std::vector<Row> Query(std::string_view sql) const;
  // The first column of the first row; Null when there is no row.
  Value Scalar(std::string_view sql) const;

 private:
  sqlite3* db_ = nullptr;
};

// A fresh folder holding the database file test.db, made by `setup_sql`;
// the folder and everything in it go when the object does.
class TempDb {
 public:
  explicit TempDb(std::string_view setup_sql = {});
  ~TempDb();
  TempDb(const TempDb&) = delete;
  TempDb& operator=(const TempDb&) = delete;

  const std::string& dir() const { return dir_; }
  const std::string& path() const { return path_; }
  // A path for another file in the folder.
  std::string File(std::string_view name) const;
  // Writes `bytes` to the file `name` in the folder; returns its path.
  // Never a database file (or its -wal, -shm, -journal) that a connection of
  // this process has open: closing any descriptor of a file drops every
  // POSIX lock the process holds on it, SQLite's among them.
  std::string WriteFile(std::string_view name, std::string_view bytes) const;

  void Exec(std::string_view sql) const { RawDb(path_).Exec(sql); }
  std::vector<Row> Query(std::string_view sql) const { return RawDb(path_).Query(sql); }
  Value Scalar(std::string_view sql) const { return RawDb(path_).Scalar(sql); }

 private:
  std::string dir_;
  std::string path_;
};

// The names of the entries of folder `dir`, sorted: what a test compares to
// see that nothing was left behind.
std::vector<std::string> NamesIn(const std::string& dir);

// Runs `fn` without root's rights: as root, in a child process that has
// become the user nobody (so file modes bind it); otherwise here. Returns
// fn's result, or nullopt when the rights could not be given up.
std::optional<int> RunUnprivileged(const std::function<int()>& fn);

}  // namespace kelda::test
