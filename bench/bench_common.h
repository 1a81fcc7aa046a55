// What the benchmark programs share: the example table, timing and reporting,
// and the two floors under an epoch of training — reading its rows through
// the three row sources of a run, and the engine's arithmetic on the same
// rows held in memory.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/value.h"
#include "data/database.h"
#include "engine/network_state.h"
#include "training/object_fields.h"
#include "training/training_table.h"

namespace kelda::bench {

inline constexpr int kRows = 5000;
inline constexpr int kInputs = 19;
inline constexpr const char* kTable = "t";

// A fresh folder holding the file of an example table; the folder goes with
// the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& db_path() const { return db_path_; }

 private:
  std::string dir_;
  std::string db_path_;
};

// Creates the database file `path` with table t(x1 .. x19 REAL, y REAL,
// Actual REAL) of `row_count` rows, the same rows on every call with the same
// count. y depends on the inputs plus noise, and
// the first row's y is the column's maximum, far from what its inputs
// suggest: no pass over these rows fits closely enough for a run to stop
// early.
void BuildTable(const std::string& path, int row_count = kRows);

double Median(std::vector<double> values);

template <class F>
double TimeMs(F&& fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Keeps a result alive so that the work producing it is not optimised away.
void Keep(double value);

// "name: 4.52 ms".
void PrintMs(const std::string& name, double ms);
// "name: 1.17x (target <= 1.3x) PASS"; `strict` makes the target "<".
void PrintRatio(const std::string& name, double ratio, double target, bool strict);
// "name: 120.4 ms (target < 150 ms) PASS".
void PrintMsTarget(const std::string& name, double ms, double target_ms);

// A benchmark program's main: runs `run`, and reports an exception it raises
// as "`program`: what" on stderr with exit status 1.
int RunProgram(const char* program, int (*run)());

// The three row sources of a training run over table t of `path`, opened as a
// run opens them, and the network and object fields that opening prepares
// (weights initialised from `seed`, layers sized, column ranges known).
class RunSources {
 public:
  RunSources(const std::string& path, uint64_t seed);
  RunSources(const RunSources&) = delete;
  RunSources& operator=(const RunSources&) = delete;

  data::Recordset& inputs() { return *run_.InputRecordset; }
  data::Recordset& target() { return *fields_.TargetRecordset; }
  data::Recordset& table() { return *run_.OutputRecordset; }
  engine::NetworkState& net() { return *net_; }
  training::ObjectFields& fields() { return fields_; }
  int input_columns() const { return run_.FieldCount - 2; }
  // The SQL text each source was opened with, as the data layer prepared it.
  const std::string& input_sql() const { return input_sql_; }
  const std::string& target_sql() const { return target_sql_; }
  const std::string& table_sql() const { return table_sql_; }

 private:
  data::DBEngine engine_;
  std::unique_ptr<engine::NetworkState> net_;
  training::ObjectFields fields_;
  std::vector<std::string> prepared_;
  training::RunHandles run_;
  std::string input_sql_;
  std::string target_sql_;
  std::string table_sql_;
};

// One epoch's reads through the three sources, as a training run makes them:
// MoveFirst on all three, then per row the inputs and the target read and
// MoveNext on all three. Returns the sum of the values read.
double ReadEpoch(RunSources& sources);

// The same three SELECT texts stepped with the bare SQLite API, each on a
// connection of its own, reading the same columns.
class BareScan {
 public:
  BareScan(const std::string& path, const RunSources& sources);
  ~BareScan();
  BareScan(const BareScan&) = delete;
  BareScan& operator=(const BareScan&) = delete;

  // Returns the sum of the values read, to be compared with ReadEpoch's.
  double Epoch();

 private:
  struct Source {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    int columns_read = 0;
  };
  Source Open(const std::string& path, const std::string& sql, int columns_read);
  std::vector<Source> sources_;
};

// Every example's scaled inputs and raw target, read once through the
// training run's own loading code.
struct MemoryRows {
  int columns = 0;
  std::vector<double> inputs;  // row by row, `columns` to a row
  std::vector<Value> targets;
};
MemoryRows LoadRows(RunSources& sources);

// The engine's arithmetic of one epoch on rows held in memory: per example
// the inputs into the input layer, ForwardPass and both backward passes
// (BackPropMomentumThenGradient, as a run calls them) with the target from
// memory; then ApplySlopes and
// UpdateWeights. Every timed epoch starts from the same state, so that
// repetitions do the same work.
class EngineEpochs {
 public:
  // `fields` supplies the target's range and must outlive the object.
  EngineEpochs(const engine::NetworkState& start, const training::ObjectFields& fields,
               MemoryRows rows);

  // Milliseconds of one epoch from the starting state.
  double TimeOneMs();

 private:
  void Epoch();

  std::unique_ptr<engine::NetworkState> start_;
  std::unique_ptr<engine::NetworkState> work_;
  const training::ObjectFields& fields_;
  MemoryRows rows_;
};

}  // namespace kelda::bench
