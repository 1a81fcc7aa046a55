#include "bench_common.h"

#include <stdlib.h>  // mkdtemp

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <stdexcept>

#include "engine/engine.h"
#include "training/prediction.h"
#include "training/run_setup.h"

namespace kelda::bench {
namespace {

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw std::runtime_error(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

sqlite3* OpenFile(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close_v2(db);
    throw std::runtime_error("cannot open " + path + ": " + message);
  }
  return db;
}

void Exec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db, sql);
}

// splitmix64: the same rows on every machine and every run.
class Draws {
 public:
  // Uniform on [0, 1).
  double Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
  }

 private:
  uint64_t state_ = 20240601;
};

volatile double g_kept = 0.0;

const char* Verdict(bool pass) { return pass ? "PASS" : "MISS"; }

}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelda_bench_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a folder like " + pattern);
  }
  dir_ = pattern;
  db_path_ = dir_ + "/examples.db";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void BuildTable(const std::string& path, int row_count) {
  sqlite3* db = OpenFile(path);
  struct Closer {
    sqlite3* db;
    sqlite3_stmt* insert = nullptr;
    ~Closer() {
      sqlite3_finalize(insert);
      sqlite3_close_v2(db);
    }
  } closer{db};

  std::string columns;
  std::string params;
  for (int i = 1; i <= kInputs; ++i) {
    columns += "x" + std::to_string(i) + " REAL, ";
    params += "?, ";
  }
  Exec(db, std::string("CREATE TABLE ") + kTable + "(" + columns + "y REAL, Actual REAL)");
  const std::string insert_sql =
      std::string("INSERT INTO ") + kTable + " VALUES (" + params + "?, NULL)";
  if (sqlite3_prepare_v2(db, insert_sql.c_str(), -1, &closer.insert, nullptr) != SQLITE_OK) {
    Fail(db, insert_sql);
  }

  Draws draws;
  std::vector<double> weights(kInputs);
  for (double& w : weights) w = draws.Next() * 2.0 - 1.0;
  std::vector<std::vector<double>> rows(static_cast<size_t>(row_count),
                                        std::vector<double>(kInputs + 1));
  double y_max = -HUGE_VAL;
  for (std::vector<double>& row : rows) {
    double y = 0.0;
    for (int i = 0; i < kInputs; ++i) {
      row[i] = std::round(draws.Next() * 10000.0) / 1000.0;
      y += weights[i] * row[i];
    }
    y += 3.0 * std::sin(row[0] * row[1]) + draws.Next() - 0.5;
    row[kInputs] = y;
    y_max = std::max(y_max, y);
  }
  rows[0][kInputs] = y_max + 25.0;

  Exec(db, "BEGIN");
  for (const std::vector<double>& row : rows) {
    for (int i = 0; i <= kInputs; ++i) sqlite3_bind_double(closer.insert, i + 1, row[i]);
    if (sqlite3_step(closer.insert) != SQLITE_DONE) Fail(db, insert_sql);
    sqlite3_reset(closer.insert);
  }
  Exec(db, "COMMIT");
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  if (values.size() % 2 == 1) return values[mid];
  const double upper = values[mid];
  return (*std::max_element(values.begin(), values.begin() + mid) + upper) / 2.0;
}

void Keep(double value) { g_kept = g_kept + value; }

void PrintMs(const std::string& name, double ms) { std::printf("%s: %.2f ms\n", name.c_str(), ms); }

void PrintRatio(const std::string& name, double ratio, double target, bool strict) {
  const bool pass = strict ? ratio < target : ratio <= target;
  std::printf("%s: %.2fx (target %s %gx) %s\n", name.c_str(), ratio, strict ? "<" : "<=", target,
              Verdict(pass));
}

void PrintMsTarget(const std::string& name, double ms, double target_ms) {
  std::printf("%s: %.2f ms (target < %g ms) %s\n", name.c_str(), ms, target_ms,
              Verdict(ms < target_ms));
}

// ---- The row sources of a run ----------------------------------------------

RunSources::RunSources(const std::string& path, uint64_t seed)
    : net_(std::make_unique<engine::NetworkState>()) {
  engine::ClassInitialize(*net_);
  net_->FixedSeed = seed;
  fields_.MSAccessDBName = path;
  fields_.MSAccessTableName = kTable;
  engine_.SetStatementObserver([this](const std::string& sql) { prepared_.push_back(sql); });
  run_ = training::OpenTrainingTable(engine_, *net_, fields_);

  // The scan of a table-type cursor is the last query prepared in opening
  // one (the layer's own checks, such as the schema version, may follow it).
  { data::Recordset probe = run_.db->OpenRecordset(kTable); }
  const auto scan = std::find_if(prepared_.rbegin(), prepared_.rend(),
                                 [](const std::string& sql) { return sql.starts_with("SELECT"); });
  if (scan == prepared_.rend()) throw std::runtime_error("opening the table prepared no query");
  table_sql_ = *scan;
  const std::string target_name = table().Fields(run_.FieldCount - 2).Name();
  input_sql_ = training::InputQuery(fields_.InputNames, run_.FieldCount, kTable);
  target_sql_ = training::TargetQuery(target_name, kTable);
  // A benchmark that compared against other texts than the run's would
  // measure nothing of use.
  for (const std::string* sql : {&input_sql_, &target_sql_}) {
    if (std::find(prepared_.begin(), prepared_.end(), *sql) == prepared_.end()) {
      throw std::runtime_error("the run did not open '" + *sql + "'");
    }
  }
}

double ReadEpoch(RunSources& sources) {
  data::Recordset& inputs = sources.inputs();
  data::Recordset& target = sources.target();
  data::Recordset& table = sources.table();
  const int columns = sources.input_columns();
  target.MoveFirst();
  inputs.MoveFirst();
  table.MoveFirst();
  double sum = 0.0;
  while (!target.IsEOF()) {
    for (int j = 0; j < columns; ++j) sum += inputs.Fields(j).GetValue().ToDouble();
    sum += target.Fields(0).GetValue().ToDouble();
    inputs.MoveNext();
    target.MoveNext();
    table.MoveNext();
  }
  return sum;
}

// ---- Bare SQLite -----------------------------------------------------------

BareScan::BareScan(const std::string& path, const RunSources& sources) {
  // The order in which the run reads and steps its sources, so that the sum
  // of the values read adds them in ReadEpoch's order.
  sources_.push_back(Open(path, sources.input_sql(), sources.input_columns()));
  sources_.push_back(Open(path, sources.target_sql(), 1));
  sources_.push_back(Open(path, sources.table_sql(), 0));
}

BareScan::~BareScan() {
  for (Source& s : sources_) {
    sqlite3_finalize(s.stmt);
    sqlite3_close_v2(s.db);
  }
}

BareScan::Source BareScan::Open(const std::string& path, const std::string& sql, int columns_read) {
  Source s;
  s.columns_read = columns_read;
  s.db = OpenFile(path);
  if (sqlite3_prepare_v2(s.db, sql.c_str(), -1, &s.stmt, nullptr) != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(s.db);
    sqlite3_close_v2(s.db);
    throw std::runtime_error(sql + ": " + message);
  }
  return s;
}

double BareScan::Epoch() {
  for (Source& s : sources_) sqlite3_reset(s.stmt);
  double sum = 0.0;
  for (;;) {
    int done = 0;
    for (Source& s : sources_) {
      const int rc = sqlite3_step(s.stmt);
      if (rc == SQLITE_DONE) {
        ++done;
      } else if (rc != SQLITE_ROW) {
        Fail(s.db, "stepping");
      }
    }
    if (done == static_cast<int>(sources_.size())) break;
    if (done != 0) throw std::runtime_error("the three scans differ in length");
    for (Source& s : sources_) {
      for (int j = 0; j < s.columns_read; ++j) sum += sqlite3_column_double(s.stmt, j);
    }
  }
  return sum;
}

// ---- The engine's arithmetic -----------------------------------------------

MemoryRows LoadRows(RunSources& sources) {
  MemoryRows rows;
  rows.columns = sources.input_columns();
  data::Recordset& inputs = sources.inputs();
  data::Recordset& target = sources.target();
  engine::NetworkState& net = sources.net();
  inputs.MoveFirst();
  target.MoveFirst();
  while (!target.IsEOF()) {
    training::LoadInputs(net, sources.fields(), inputs, rows.columns);
    for (int j = 1; j <= rows.columns; ++j) rows.inputs.push_back(net.Activation(j, 1));
    rows.targets.push_back(target.Fields(0).GetValue());
    inputs.MoveNext();
    target.MoveNext();
  }
  return rows;
}

namespace {

class MemoryTarget final : public engine::TargetSource {
 public:
  explicit MemoryTarget(const training::ObjectFields& fields)
      : min_(fields.TargetMin(1)), max_(fields.TargetMax(1)) {}
  void Point(const Value* current) { current_ = current; }
  Value CurrentTarget() override { return *current_; }
  const Value& TargetMin() const override { return min_; }
  const Value& TargetMax() const override { return max_; }
  double& FieldValue() override { return field_value_; }

 private:
  const Value* current_ = nullptr;
  const Value& min_;
  const Value& max_;
  double field_value_ = 0.0;
};

}  // namespace

EngineEpochs::EngineEpochs(const engine::NetworkState& start, const training::ObjectFields& fields,
                           MemoryRows rows)
    : start_(std::make_unique<engine::NetworkState>(start)),
      work_(std::make_unique<engine::NetworkState>(start)),
      fields_(fields),
      rows_(std::move(rows)) {
  Epoch();  // warms caches and branch predictors
}

double EngineEpochs::TimeOneMs() {
  *work_ = *start_;
  const double ms = TimeMs([&] { Epoch(); });
  Keep(work_->ErrorSum);
  return ms;
}

void EngineEpochs::Epoch() {
  engine::NetworkState& net = *work_;
  MemoryTarget target(fields_);
  net.ErrorSum = 0.0;
  const double* row = rows_.inputs.data();
  for (size_t r = 0; r < rows_.targets.size(); ++r, row += rows_.columns) {
    net.CurrentPattern = static_cast<int16_t>(r + 1);
    for (int j = 0; j < rows_.columns; ++j) net.Activation(j + 1, 1) = row[j];
    target.Point(&rows_.targets[r]);
    engine::ForwardPass(net);
    engine::BackPropMomentumThenGradient(net, target);
  }
  engine::ApplySlopes(net);
  engine::UpdateWeights(net);
}

int RunProgram(const char* program, int (*run)()) {
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

}  // namespace kelda::bench
