#include "support/temp_db.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kelda::test {
namespace {

[[noreturn]] void Fail(sqlite3* db, std::string_view what, std::string_view sql) {
  throw std::runtime_error(std::string(what) + " '" + std::string(sql) +
                           "': " + (db != nullptr ? sqlite3_errmsg(db) : "no connection"));
}

Value ColumnValue(sqlite3_stmt* stmt, int i) {
  switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_INTEGER:
      return Value(static_cast<double>(sqlite3_column_int64(stmt, i)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(stmt, i));
    case SQLITE_NULL:
      return Value::Null();
    case SQLITE_TEXT:
      return Value(std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                               sqlite3_column_bytes(stmt, i)));
    default: {
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, i));
      return Value(Value::Blob(p, p + sqlite3_column_bytes(stmt, i)));
    }
  }
}

}  // namespace

RawDb::RawDb(const std::string& path, int flags) {
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close_v2(db_);
    throw std::runtime_error("cannot open " + path + ": " + message);
  }
  sqlite3_busy_timeout(db_, 5000);
}

RawDb::~RawDb() { sqlite3_close_v2(db_); }

int RawDb::TryExec(std::string_view sql) const {
  const std::string text(sql);
  return sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
}

void RawDb::Exec(std::string_view sql) const {
  if (TryExec(sql) != SQLITE_OK) Fail(db_, "cannot run", sql);
}

std::vector<Row> RawDb::Query(std::string_view sql) const {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr) !=
      SQLITE_OK) {
    Fail(db_, "cannot prepare", sql);
  }
  std::vector<Row> rows;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    Row row;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) row.push_back(ColumnValue(stmt, i));
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) Fail(db_, "cannot run", sql);
  return rows;
}

Value RawDb::Scalar(std::string_view sql) const {
  const std::vector<Row> rows = Query(sql);
  if (rows.empty() || rows[0].empty()) return Value::Null();
  return rows[0][0];
}

TempDb::TempDb(std::string_view setup_sql) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelda-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  path_ = dir_ + "/test.db";
  RawDb db(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  db.Exec(setup_sql.empty() ? "PRAGMA user_version = 0" : setup_sql);
}

TempDb::~TempDb() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string TempDb::File(std::string_view name) const { return dir_ + "/" + std::string(name); }

std::string TempDb::WriteFile(std::string_view name, std::string_view bytes) const {
  const std::string file = File(name);
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file);
  return file;
}

std::optional<int> RunUnprivileged(const std::function<int()>& fn) {
  if (::geteuid() != 0) return fn();
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    ::close(fds[0]);
    int result = -1;
    bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0 && ::geteuid() != 0;
    if (dropped) {
      try {
        result = fn();
      } catch (...) {
        result = -2;
      }
    }
    const int message[2] = {dropped ? 1 : 0, result};
    const ssize_t ignored = ::write(fds[1], message, sizeof message);
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  int message[2] = {0, 0};
  const ssize_t n = ::read(fds[0], message, sizeof message);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (n != static_cast<ssize_t>(sizeof message) || message[0] == 0) return std::nullopt;
  return message[1];
}

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kelda::test
