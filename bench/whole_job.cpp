// The whole job, as a user meets it: `kelda train` of 500 epochs, timed from
// process start to exit (opening, reading, training, reporting and the final
// write-back included), against kelda_bench_peer doing the same job directly
// on SQLite and FANN: load the table, train the same inputs-20-1 sigmoid
// network with FANN's batch algorithm for as many epochs on the rows before
// the first Null target, write every prediction back in one transaction.
// Both are separate processes started the same way, each on its own fresh
// copy of the same table, run alternately so that load from elsewhere on the
// machine falls on both. Two tables: the 5000-row example table, and the
// demo's 400 house sales (3 inputs, the last 8 rows without a price).
//
// Then the set-up alone: `kelda train` from process start to its first epoch
// on the 5000-row table, against a process that only opens the file and runs
// the SELECT texts the run's set-up runs (kelda_bench_bare_reads).
//
// Prints medians and each ratio against its target.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_common.h"
#include "engine/engine.h"
#include "timed_process.h"
#include "training/training_table.h"

namespace kelda::bench {
namespace {

constexpr int kReps = 7;
constexpr int kSetUpReps = 11;
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

// A table both sides work on: `path` is the original, every run gets a copy.
struct JobTable {
  std::string path;
  std::string table;
  int rows = 0;
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
void CheckPredictions(const std::string& path, const JobTable& job, const char* who) {
  Connection db(path);
  sqlite3_stmt* select = nullptr;
  const std::string sql = "SELECT Actual FROM \"" + job.table + "\"";
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
  if (rc != SQLITE_DONE || rows != job.rows || bad != 0) {
    throw std::runtime_error(std::string(who) + " left " + std::to_string(bad) + " of " +
                             std::to_string(rows) + " rows without a finite Actual in " + path);
  }
}

// The tool's JSON report must say that it ran every epoch: a run the
// convergence test ended early did less work than the peer.
void CheckEveryEpochRan(const std::string& report_path) {
  std::ifstream in(report_path);
  const std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string ran = std::string("\"epochs_run\":") + kEpochs + ",";
  if (report.find(ran) == std::string::npos ||
      report.find("\"ended\":\"completed\"") == std::string::npos) {
    throw std::runtime_error("kelda train did not run all " + std::string(kEpochs) +
                             " epochs: " + report);
  }
}

void CompareJobs(const JobTable& job, const std::filesystem::path& folder, const std::string& name,
                 double target, double aim) {
  std::vector<ProcessTimes> ours;
  std::vector<ProcessTimes> peer;
  for (int rep = 0; rep < kReps; ++rep) {
    const std::string ours_copy = (folder / ("kelda_" + std::to_string(rep) + ".db")).string();
    const std::string peer_copy = (folder / ("peer_" + std::to_string(rep) + ".db")).string();
    const std::string report = (folder / "report.json").string();
    CopyTable(job.path, ours_copy);
    CopyTable(job.path, peer_copy);
    const auto run_ours = [&] {
      ours.push_back(TimeProcess({KELDA_TOOL_PATH, "train", ours_copy, job.table, "--epochs",
                                  kEpochs, "--seed", kSeed, "--quiet", "--json"},
                                 report));
      CheckPredictions(ours_copy, job, "kelda train");
      CheckEveryEpochRan(report);
    };
    const auto run_peer = [&] {
      peer.push_back(TimeProcess({KELDA_PEER_PATH, peer_copy, job.table, kEpochs}));
      CheckPredictions(peer_copy, job, "the peer program");
    };
    RunAlternately(rep, run_ours, run_peer);
  }
  PrintJobComparison(ours, "kelda train", peer, "peer program (SQLite + FANN batch)",
                     name + ": kelda train / peer program", target, aim);
}

// The demo's table as `kelda demo` writes it, its predictions cleared and the
// file out of write-ahead mode again, so that both sides start from the same
// file as they would from the tool's sample before any run.
JobTable DemoTable(const std::filesystem::path& folder) {
  const std::filesystem::path dir = folder / "demo";
  TimeProcess({KELDA_TOOL_PATH, "demo", dir.string()});
  JobTable job{(dir / "houses.db").string(), "Houses", 0};
  Connection db(job.path);
  const std::string clear =
      "UPDATE \"" + job.table + "\" SET Actual = NULL; PRAGMA journal_mode=DELETE; VACUUM";
  if (sqlite3_exec(db.get(), clear.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw std::runtime_error(clear + ": " + sqlite3_errmsg(db.get()));
  }
  sqlite3_stmt* count = nullptr;
  const std::string sql = "SELECT count(*) FROM \"" + job.table + "\"";
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &count, nullptr) != SQLITE_OK ||
      sqlite3_step(count) != SQLITE_ROW) {
    sqlite3_finalize(count);
    throw std::runtime_error(sql + ": " + sqlite3_errmsg(db.get()));
  }
  job.rows = sqlite3_column_int(count, 0);
  sqlite3_finalize(count);
  return job;
}

// The SELECT texts a run's set-up runs on `path` (a scratch copy), recorded
// as the database layer prepares them while the set-up is made in this
// process, each once and in order, as kelda_bench_bare_reads takes them: the
// first, the scan that counts the rows, stepped to its end, the others to
// their first row. The layer's own schema queries are left out.
std::vector<std::string> SetUpReads(const std::string& path) {
  std::vector<std::string> prepared;
  {
    data::DBEngine engine;
    engine.SetStatementObserver([&prepared](const std::string& sql) { prepared.push_back(sql); });
    auto net = std::make_unique<engine::NetworkState>();
    engine::ClassInitialize(*net);
    training::ObjectFields fields;
    fields.MSAccessDBName = path;
    fields.MSAccessTableName = kTable;
    training::RunHandles run = training::OpenTrainingTable(engine, *net, fields);
  }
  std::vector<std::string> args;
  for (const std::string& sql : prepared) {
    if (!sql.starts_with("SELECT") || sql.find("pragma_") != std::string::npos ||
        sql.find("sqlite_") != std::string::npos) {
      continue;
    }
    bool seen = false;
    for (size_t i = 1; i < args.size(); i += 2) seen = seen || args[i] == sql;
    if (seen) continue;
    args.push_back(args.empty() ? "all" : "first");
    args.push_back(sql);
  }
  if (args.size() < 6) throw std::runtime_error("the run's set-up prepared too few queries");
  return args;
}

// Set-up: the tool on the 5000-row table from its start to its first epoch
// (its progress line on a terminal, drawn at the run's first yield; the run
// has 0 epochs, so what follows is only the write-back and the report),
// against the bare reads of the same file.
void CompareSetUp(const std::string& original, const std::filesystem::path& folder) {
  const std::string scratch = (folder / "setup_texts.db").string();
  CopyTable(original, scratch);
  const std::vector<std::string> reads = SetUpReads(scratch);
  std::vector<ProcessTimes> ours;
  std::vector<ProcessTimes> ours_exit;
  std::vector<ProcessTimes> bare;
  for (int rep = 0; rep < kSetUpReps; ++rep) {
    const std::string ours_copy = (folder / "setup_kelda.db").string();
    const std::string bare_copy = (folder / "setup_bare.db").string();
    CopyTable(original, ours_copy);
    CopyTable(original, bare_copy);
    const auto run_ours = [&] {
      const FirstOutputTimes t = TimeToFirstOutput(
          {KELDA_TOOL_PATH, "train", ours_copy, kTable, "--epochs", "0", "--seed", kSeed});
      ours.push_back({t.first_output_ms, 0.0});
      ours_exit.push_back({t.wall_ms, 0.0});
    };
    const auto run_bare = [&] {
      std::vector<std::string> args = {KELDA_BARE_READS_PATH, bare_copy};
      args.insert(args.end(), reads.begin(), reads.end());
      bare.push_back(TimeProcess(std::move(args)));
    };
    RunAlternately(rep, run_ours, run_bare);
  }
  const double ours_ms = MedianOf(ours, &ProcessTimes::wall_ms);
  const double bare_ms = MedianOf(bare, &ProcessTimes::wall_ms);
  std::printf("set-up: %d rows, %d inputs; %zu SELECT texts; medians of %d runs each\n", kRows,
              kInputs, reads.size() / 2, kSetUpReps);
  PrintMs("kelda train, process start to first epoch", ours_ms);
  PrintMs("kelda train --epochs 0, process start to exit",
          MedianOf(ours_exit, &ProcessTimes::wall_ms));
  PrintMs("bare SQLite reads of the same texts, process start to exit", bare_ms);
  // Beyond the texts themselves a run must load what the tool runs on,
  // check the table's schema, put the file into write-ahead mode once (a
  // synced write) and fix the keys of its rows: with the texts' full scans
  // the bulk of the floor, those fit in half as much again.
  PrintRatio("set-up: kelda train to first epoch / bare reads", ours_ms / bare_ms, 1.5, false);
  std::printf("aim: <= 1.25x\n");
}

int Run() {
  TempDir dir;
  BuildTable(dir.db_path());
  const std::filesystem::path folder = std::filesystem::path(dir.db_path()).parent_path();

  std::printf("whole job: %d rows, %d inputs, %s epochs; medians of %d runs each\n", kRows, kInputs,
              kEpochs, kReps);
  CompareJobs({dir.db_path(), kTable, kRows}, folder, "whole job", 1.0, 0.75);

  const JobTable demo = DemoTable(folder);
  std::printf("\nsmall table (the demo's): %d rows, 3 inputs, %s epochs; medians of %d runs each\n",
              demo.rows, kEpochs, kReps);
  CompareJobs(demo, folder, "small table", 1.0, 0.75);

  std::printf("\n");
  CompareSetUp(dir.db_path(), folder);
  return 0;
}

}  // namespace
}  // namespace kelda::bench

int main() { return kelda::bench::RunProgram("kelda_bench_job", kelda::bench::Run); }
