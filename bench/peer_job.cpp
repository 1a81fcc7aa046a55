// The peer side of the whole-job benchmark: what a program written directly
// on SQLite and FANN does for the job `kelda train` does. It loads the table
// once, scales every column to [0, 1] by its range (sigmoid units need it),
// trains FANN's batch algorithm on an inputs-20-1 sigmoid network on the rows
// before the first Null target, and writes every row's prediction back into
// `Actual` by rowid in one transaction.
//
//   kelda_bench_peer DB TABLE EPOCHS
//
// Prints nothing on success; on failure one line on stderr and exit status 1.
#include <sqlite3.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "peer_fann.h"

namespace kelda::bench {
namespace {

// The table's rows as they were loaded: inputs are every column before the
// last two (the target, then Actual), as `kelda train` reads the table.
struct Rows {
  std::vector<sqlite3_int64> rowids;
  PeerExamples examples;
};

class Db {
 public:
  explicit Db(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      Fail("cannot open " + path);
    }
  }
  ~Db() { sqlite3_close_v2(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error(what + ": " +
                             (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"));
  }
  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
  }
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

class Stmt {
 public:
  Stmt(Db& db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) db.Fail(sql);
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  // True for a row, false at the end.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) db_.Fail("stepping");
    return rc == SQLITE_ROW;
  }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  Db& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// The table name comes from the command line, so it is quoted, never pasted.
std::string Quote(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

Rows Load(Db& db, const std::string& table) {
  Stmt select(db, "SELECT rowid, * FROM " + Quote(table) + " ORDER BY rowid");
  const int columns = sqlite3_column_count(select.get()) - 1;  // without the rowid
  if (columns < 3) throw std::runtime_error("table " + table + " needs inputs, target and Actual");
  Rows rows{{}, PeerExamples(columns - 2)};
  const int used = columns - 1;
  while (select.Step()) {
    rows.rowids.push_back(sqlite3_column_int64(select.get(), 0));
    for (int j = 0; j < used; ++j) {
      if (sqlite3_column_type(select.get(), j + 1) != SQLITE_NULL) {
        rows.examples.Append(j, sqlite3_column_double(select.get(), j + 1));
      } else if (j == used - 1) {
        rows.examples.AppendMissingTarget();
      } else {
        throw std::runtime_error("row " + std::to_string(rows.rowids.back()) +
                                 " holds a Null input");
      }
    }
  }
  if (rows.rowids.empty()) throw std::runtime_error("table " + table + " has no rows");
  return rows;
}

void WriteBack(Db& db, const std::string& table, const Rows& rows,
               const std::vector<double>& predictions) {
  Stmt update(db, "UPDATE " + Quote(table) + " SET Actual = ? WHERE rowid = ?");
  db.Exec("BEGIN");
  try {
    for (size_t r = 0; r < predictions.size(); ++r) {
      sqlite3_bind_double(update.get(), 1, predictions[r]);
      sqlite3_bind_int64(update.get(), 2, rows.rowids[r]);
      update.Step();
      sqlite3_reset(update.get());
    }
    db.Exec("COMMIT");
  } catch (...) {
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

int Run(int argc, char** argv) {
  if (argc != 4) throw std::runtime_error("usage: kelda_bench_peer DB TABLE EPOCHS");
  const int epochs = ParseEpochs(argv[3]);
  Db db(argv[1]);
  const Rows rows = Load(db, argv[2]);
  WriteBack(db, argv[2], rows, TrainAndPredict(rows.examples, epochs));
  return 0;
}

}  // namespace
}  // namespace kelda::bench

int main(int argc, char** argv) {
  return kelda::bench::RunPeerProgram("kelda_bench_peer", argc, argv, kelda::bench::Run);
}
