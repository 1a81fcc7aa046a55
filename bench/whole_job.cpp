// The whole job, as a user meets it: `kelda train` of 500 epochs on the
// 5000-row example table, timed from process start to exit (opening,
// reading, training, reporting and the final write-back included), against
// kelda_bench_peer doing the same job directly on SQLite and FANN: load the
// table, train the same 19-20-1 sigmoid network with FANN's batch algorithm
// for as many epochs, write every prediction back in one transaction. Both
// are separate processes started the same way, each on its own fresh copy
// of the same table, run alternately so that load from elsewhere on the
// machine falls on both. Prints medians and the ratio against its target.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_common.h"
#include "timed_process.h"

namespace kelda::bench {
namespace {

constexpr int kReps = 7;
constexpr const char* kEpochs = "500";
constexpr const char* kSeed = "7";

class Connection {
 public:
  explicit Connection(const std::string& path, int flags = SQLITE_OPEN_READWRITE) {
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close_v2(db_);
      throw std::runtime_error("cannot open " + path + ": " + message);
    }
  }
  ~Connection() { sqlite3_close_v2(db_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  sqlite3* get() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// A fresh copy of the example table through SQLite's backup, so that no run
// sees what an earlier one wrote.
void CopyTable(const std::string& from, const std::string& to) {
  Connection source(from, SQLITE_OPEN_READONLY);
  Connection target(to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
  if (backup == nullptr) {
    throw std::runtime_error("cannot copy " + from + ": " + sqlite3_errmsg(target.get()));
  }
  const int step = sqlite3_backup_step(backup, -1);
  const int finish = sqlite3_backup_finish(backup);
  if (step != SQLITE_DONE || finish != SQLITE_OK) {
    throw std::runtime_error("cannot copy " + from + " to " + to + ": " + sqlite3_errstr(finish));
  }
}

// Every row of the copy must hold a finite prediction: a run that ended
// early, or wrote nothing, would otherwise be timed as a fast one.
void CheckPredictions(const std::string& path, const char* who) {
  Connection db(path);
  sqlite3_stmt* select = nullptr;
  const std::string sql = std::string("SELECT Actual FROM ") + kTable;
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &select, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sql + ": " + sqlite3_errmsg(db.get()));
  }
  int rows = 0;
  int bad = 0;
  int rc;
  while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
    const int type = sqlite3_column_type(select, 0);
    const bool number = type == SQLITE_FLOAT || type == SQLITE_INTEGER;
    if (!number || !std::isfinite(sqlite3_column_double(select, 0))) ++bad;
    ++rows;
  }
  sqlite3_finalize(select);
  if (rc != SQLITE_DONE || rows != kRows || bad != 0) {
    throw std::runtime_error(std::string(who) + " left " + std::to_string(bad) + " of " +
                             std::to_string(rows) + " rows without a finite Actual in " + path);
  }
}

int Run() {
  TempDir dir;
  BuildTable(dir.db_path());
  const std::filesystem::path folder = std::filesystem::path(dir.db_path()).parent_path();
  std::printf("whole job: %d rows, %d inputs, %s epochs; medians of %d runs each\n", kRows, kInputs,
              kEpochs, kReps);
  std::vector<ProcessTimes> ours;
  std::vector<ProcessTimes> peer;
  for (int rep = 0; rep < kReps; ++rep) {
    const std::string ours_copy = (folder / ("kelda_" + std::to_string(rep) + ".db")).string();
    const std::string peer_copy = (folder / ("peer_" + std::to_string(rep) + ".db")).string();
    CopyTable(dir.db_path(), ours_copy);
    CopyTable(dir.db_path(), peer_copy);
    const auto run_ours = [&] {
      ours.push_back(TimeProcess({KELDA_TOOL_PATH, "train", ours_copy, kTable, "--epochs", kEpochs,
                                  "--seed", kSeed, "--quiet"}));
      CheckPredictions(ours_copy, "kelda train");
    };
    const auto run_peer = [&] {
      peer.push_back(TimeProcess({KELDA_PEER_PATH, peer_copy, kTable, kEpochs}));
      CheckPredictions(peer_copy, "the peer program");
    };
    RunAlternately(rep, run_ours, run_peer);
  }
  PrintJobComparison(ours, "kelda train", peer, "peer program (SQLite + FANN batch)",
                     "whole job: kelda train / peer program", 1.5);
  return 0;
}

}  // namespace
}  // namespace kelda::bench

int main() { return kelda::bench::RunProgram("kelda_bench_job", kelda::bench::Run); }
