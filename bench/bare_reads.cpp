// The floor under a training run's set-up: a process that opens the file and
// runs the SELECT texts the run's set-up runs, through the bare SQLite API,
// and exits. Nothing else a run does before its first epoch is here: no
// schema checks, no journal mode, no keys of the run's rows.
//
//   kelda_bench_bare_reads DB [all|first SQL]...
//
// "all" steps the statement to its end (the scan that counts the rows),
// "first" to its first row (an aggregate's one row, a cursor the epochs read
// on). Prints nothing on success; on failure one line on stderr and exit
// status 1.
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

void Run(int argc, char** argv) {
  if (argc < 2 || argc % 2 != 0) {
    throw std::runtime_error("usage: kelda_bench_bare_reads DB [all|first SQL]...");
  }
  sqlite3* db = nullptr;
  struct Closer {
    sqlite3*& db;
    ~Closer() { sqlite3_close_v2(db); }
  } closer{db};
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("cannot open ") + argv[1] + ": " +
                             (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
  }
  for (int i = 2; i < argc; i += 2) {
    const bool all = std::strcmp(argv[i], "all") == 0;
    if (!all && std::strcmp(argv[i], "first") != 0) {
      throw std::runtime_error(std::string("'all' or 'first', not '") + argv[i] + "'");
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, argv[i + 1], -1, &stmt, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string(argv[i + 1]) + ": " + sqlite3_errmsg(db));
    }
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW && all) {
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      throw std::runtime_error(std::string(argv[i + 1]) + ": " + sqlite3_errstr(rc));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Run(argc, argv);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelda_bench_bare_reads: %s\n", e.what());
    return 1;
  }
}
