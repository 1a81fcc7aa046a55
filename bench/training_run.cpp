// A whole training run of 100 epochs on the 5000-row example table, timed
// epoch by epoch from the run's progress callback, against the floors under an
// epoch measured in the same process: the engine's arithmetic on the rows in
// memory, reading the rows through the run's three row sources, and writing
// every row's `Actual` with bare updates in one transaction. Then
// InputRelevance against its floor, and the cost of an example in whole runs
// on tables of 500 to 5000 rows.
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <kelda/network.h>
#include <kelda/run_options.h>

#include "bench_common.h"
#include "engine/engine.h"
#include "run_epochs.h"

namespace kelda::bench {
namespace {

constexpr int32_t kEpochs = 100;
constexpr int kReps = 21;
constexpr int kRounds = 3;
constexpr uint64_t kSeed = 7;

// The floor under a report epoch's writes: `rows` bare updates of `Actual`
// by rowid in one transaction, on a connection of their own that stays open
// and warm, as a run's write connection does, and syncs as a run's does (in
// write-ahead mode, at checkpoints only). Every timed transaction stores
// values that no row holds yet, as every report epoch does: SQLite leaves a
// page alone when an update stores what the row already holds, and the
// commit then has nothing to write.
class BareUpdates {
 public:
  BareUpdates(const std::string& path, int rows) : rows_(rows) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    db_.reset(db);
    if (rc != SQLITE_OK) Fail("open");
    sqlite3_stmt* mode = nullptr;
    if (sqlite3_prepare_v2(db_.get(), "PRAGMA journal_mode", -1, &mode, nullptr) != SQLITE_OK) {
      Fail("journal mode");
    }
    const bool wal =
        sqlite3_step(mode) == SQLITE_ROW &&
        sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal") == 0;
    sqlite3_finalize(mode);
    if (wal) Exec("PRAGMA synchronous=NORMAL");
    sqlite3_stmt* update = nullptr;
    if (sqlite3_prepare_v2(db_.get(), "UPDATE t SET Actual = ? WHERE rowid = ?", -1, &update,
                           nullptr) != SQLITE_OK) {
      Fail("prepare");
    }
    update_.reset(update);
    Write();  // the pages into the connection's cache
  }

  double TimeOneMs() {
    return TimeMs([&] { Write(); });
  }

 private:
  struct Close {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };
  struct Finalize {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
  };

  [[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db_.get()));
  }
  void Exec(const char* sql) {
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
  }
  void Write() {
    ++writes_;
    Exec("BEGIN");
    for (int r = 1; r <= rows_; ++r) {
      // Never a whole number, which a REAL column would store in fewer
      // bytes than a prediction's: the rows keep their size, as they do
      // when a run stores its predictions.
      sqlite3_bind_double(update_.get(), 1, r * 0.5 + writes_ + 0.25);
      sqlite3_bind_int64(update_.get(), 2, r);
      if (sqlite3_step(update_.get()) != SQLITE_DONE) Fail("update");
      sqlite3_reset(update_.get());
    }
    Exec("COMMIT");
  }

  int rows_;
  int writes_ = 0;
  std::unique_ptr<sqlite3, Close> db_;  // declared first: goes last
  std::unique_ptr<sqlite3_stmt, Finalize> update_;
};

RunOptions Seeded() {
  RunOptions options;
  options.seed = kSeed;
  return options;
}

// InputRelevance of a network trained for one epoch on the table at `path`.
double RelevanceMs(const std::string& path) {
  Network net;
  net.SetMSAccessDBName(path);
  net.SetMSAccessTableName(kTable);
  net.SetEpochs(1);
  net.RunNetwork(Seeded());
  return TimeMs([&] { Keep(net.InputRelevance()->front()); });
}

// The floor under one pass of InputRelevance's arithmetic: a forward pass of
// every example, its inputs already scaled in memory.
double ForwardPassesMs(engine::NetworkState& net, const MemoryRows& rows) {
  const size_t examples = rows.targets.size();
  const size_t columns = static_cast<size_t>(rows.columns);
  return TimeMs([&] {
    for (size_t r = 0; r < examples; ++r) {
      for (size_t j = 0; j < columns; ++j) {
        net.Activation(static_cast<int>(j) + 1, 1) = rows.inputs[r * columns + j];
      }
      engine::ForwardPass(net);
    }
    Keep(net.Activation(1, 3));
  });
}

// One run on a fresh table, then the floors measured right after it, so that
// the load the machine carries meanwhile falls on both alike.
struct Round {
  double plain_ms = 0.0;
  double report_ms = 0.0;
  double read_ms = 0.0;
  double engine_ms = 0.0;
  double updates_ms = 0.0;
  double relevance_ms = 0.0;
  double forward_ms = 0.0;
};

Round MeasureRound() {
  TempDir dir;
  BuildTable(dir.db_path());
  const EpochTimes run = TimeRunEpochs(dir.db_path(), kTable, kEpochs, kSeed);

  const double relevance_ms = RelevanceMs(dir.db_path());
  RunSources sources(dir.db_path(), kSeed);
  const MemoryRows rows = LoadRows(sources);
  std::vector<double> forward_ms;
  for (int i = 0; i < 5; ++i) forward_ms.push_back(ForwardPassesMs(sources.net(), rows));
  EngineEpochs arithmetic(sources.net(), sources.fields(), rows);
  Keep(ReadEpoch(sources));
  std::vector<double> read_ms;
  std::vector<double> engine_ms;
  std::vector<double> updates_ms;
  for (int i = 0; i < kReps; ++i) {
    read_ms.push_back(TimeMs([&] { Keep(ReadEpoch(sources)); }));
    engine_ms.push_back(arithmetic.TimeOneMs());
  }
  BareUpdates bare(dir.db_path(), kRows);
  for (int i = 0; i < 5; ++i) updates_ms.push_back(bare.TimeOneMs());
  return Round{Median(run.plain_ms), Median(run.report_ms), Median(read_ms),   Median(engine_ms),
               Median(updates_ms),   relevance_ms,          Median(forward_ms)};
}

// Milliseconds of a whole run (set-up, kEpochs epochs, final write-back) on
// a fresh table of `rows` rows.
double WholeRunMs(int rows) {
  TempDir dir;
  BuildTable(dir.db_path(), rows);
  Network net;
  net.SetMSAccessDBName(dir.db_path());
  net.SetMSAccessTableName(kTable);
  net.SetEpochs(kEpochs);
  const RunOptions options = Seeded();
  return TimeMs([&] { net.RunNetwork(options); });
}

// What one example costs a whole run, at table sizes a tenth of the example
// table's and up: a cost that grows faster than the rows (a search per row,
// say) shows as a rising figure.
void PerExampleCost() {
  const int sizes[] = {500, 1000, 2000, kRows};
  std::vector<std::vector<double>> us(std::size(sizes));
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < std::size(sizes); ++i) {
      us[i].push_back(WholeRunMs(sizes[i]) * 1000.0 / (double(sizes[i]) * kEpochs));
    }
  }
  for (size_t i = 0; i < std::size(sizes); ++i) {
    std::printf("per example and epoch of a whole run, %d rows: %.3f us\n", sizes[i],
                Median(us[i]));
  }
  PrintRatio("per-example cost, 5000 rows / 500 rows", Median(us.back()) / Median(us.front()), 1.2,
             false);
}

int Run() {
  std::vector<double> plain;
  std::vector<double> report;
  std::vector<double> read;
  std::vector<double> engine;
  std::vector<double> updates;
  std::vector<double> plain_ratio;
  std::vector<double> report_ratio;
  std::vector<double> relevance;
  std::vector<double> relevance_ratio;
  for (int round = 0; round < kRounds; ++round) {
    const Round r = MeasureRound();
    plain.push_back(r.plain_ms);
    report.push_back(r.report_ms);
    read.push_back(r.read_ms);
    engine.push_back(r.engine_ms);
    updates.push_back(r.updates_ms);
    plain_ratio.push_back(r.plain_ms / r.engine_ms);
    report_ratio.push_back(r.report_ms / (r.engine_ms + r.updates_ms));
    relevance.push_back(r.relevance_ms);
    // A pass per input and the final write-back: every row is predicted and
    // stored kInputs + 1 times.
    relevance_ratio.push_back(r.relevance_ms / ((kInputs + 1) * (r.forward_ms + r.updates_ms)));
  }
  std::printf(
      "%d rows, %d inputs, %d epochs; medians over %d rounds of each "
      "round's medians (epochs of "
      "a run; %d runs of each floor), ratios taken within each round\n",
      kRows, kInputs, kEpochs, kRounds, kReps);
  PrintMs("plain epoch", Median(plain));
  PrintMs("report epoch", Median(report));
  PrintMs("three-cursor read", Median(read));
  PrintMs("engine arithmetic, one epoch", Median(engine));
  PrintMs("bare updates of Actual in one transaction", Median(updates));
  PrintRatio("plain epoch / arithmetic", Median(plain_ratio), 1.2, false);
  PrintRatio("report epoch / (arithmetic + bare updates)", Median(report_ratio), 1.5, false);
  PrintMs("InputRelevance", Median(relevance));
  PrintRatio("InputRelevance / (20 x (forward passes + bare updates))", Median(relevance_ratio),
             1.5, false);
  PerExampleCost();
  return 0;
}

}  // namespace
}  // namespace kelda::bench

int main() { return kelda::bench::RunProgram("kelda_bench_training", kelda::bench::Run); }
