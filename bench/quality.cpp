// How well a trained network predicts rows it has not seen: the diabetes data
// set that Debian's python3-sklearn ships (442 patients, 10 inputs, a measure
// of disease progression a year later), split 80/20 by a fixed seed with the
// hold-out rows last and their target Null, so that kelda trains on the first
// part and predicts the rest. kelda runs for 500, 2000 and 10000 epochs;
// FANN's batch training of the same n-20-1 logistic net, on the same split
// and the same scaling, and a least-squares line give the figures to compare.
//
// Usage: kelda_bench_quality [DATA_DIR], DATA_DIR holding
// diabetes_data_raw.csv.gz and diabetes_target.csv.gz.
#include <doublefann.h>
#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <kelda/network.h>
#include <kelda/run_options.h>

#include "bench_common.h"

namespace kelda::bench {
namespace {

constexpr const char* kDefaultDataDir = "/usr/lib/python3/dist-packages/sklearn/datasets/data";
constexpr const char* kColumns[] = {"age", "sex", "bmi", "bp", "s1", "s2", "s3", "s4", "s5", "s6"};
constexpr int kInputs = 10;
constexpr uint64_t kSplitSeed = 42;
constexpr uint64_t kWeightSeed = 7;
constexpr unsigned kFannSeed = 7;
constexpr int32_t kEpochs[] = {500, 2000, 10000};

struct Sample {
  std::vector<double> inputs;
  double target = 0.0;
};

// The numbers of every line of a gzip-compressed text file, line by line.
std::vector<std::vector<double>> ReadGzipNumbers(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "rb");
  if (file == nullptr) throw std::runtime_error("cannot open " + path);
  std::vector<std::vector<double>> lines;
  std::string line;
  char buffer[4096];
  while (gzgets(file, buffer, sizeof buffer) != nullptr) {
    line += buffer;
    if (line.empty() || line.back() != '\n') continue;
    std::istringstream in(line);
    std::vector<double> numbers;
    for (double v; in >> v;) numbers.push_back(v);
    if (!numbers.empty()) lines.push_back(std::move(numbers));
    line.clear();
  }
  const bool clean_end = gzeof(file) != 0;
  gzclose(file);
  if (!clean_end) throw std::runtime_error("cannot read " + path);
  return lines;
}

std::vector<Sample> LoadDiabetes(const std::string& dir) {
  const auto data = ReadGzipNumbers(dir + "/diabetes_data_raw.csv.gz");
  const auto target = ReadGzipNumbers(dir + "/diabetes_target.csv.gz");
  if (data.size() != target.size() || data.empty()) {
    throw std::runtime_error("the diabetes files in " + dir + " do not match");
  }
  std::vector<Sample> samples;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i].size() != kInputs || target[i].size() != 1) {
      throw std::runtime_error("unexpected line " + std::to_string(i + 1) + " in " + dir);
    }
    samples.push_back(Sample{data[i], target[i][0]});
  }
  return samples;
}

// Fisher-Yates with splitmix64, so that the split is the same everywhere.
void Shuffle(std::vector<Sample>& samples, uint64_t seed) {
  uint64_t state = seed;
  auto next = [&state] {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  };
  for (std::size_t i = samples.size() - 1; i > 0; --i) {
    std::swap(samples[i], samples[next() % (i + 1)]);
  }
}

struct Fit {
  double rmse = 0.0;
  double r2 = 0.0;
};

Fit Score(const std::vector<double>& predicted, const std::vector<Sample>& rows) {
  double mean = 0.0;
  for (const Sample& s : rows) mean += s.target;
  mean /= static_cast<double>(rows.size());
  double residual = 0.0;
  double total = 0.0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    residual += (predicted[i] - rows[i].target) * (predicted[i] - rows[i].target);
    total += (rows[i].target - mean) * (rows[i].target - mean);
  }
  return Fit{std::sqrt(residual / static_cast<double>(rows.size())), 1.0 - residual / total};
}

// The ranges kelda scales with: an input column's over every row of the
// table, the target's over the rows that hold one (the training rows).
struct Scaling {
  std::vector<double> min, max;
  double target_min = 0.0, target_max = 0.0;

  Scaling(const std::vector<Sample>& train, const std::vector<Sample>& test)
      : min(kInputs, INFINITY),
        max(kInputs, -INFINITY),
        target_min(INFINITY),
        target_max(-INFINITY) {
    for (const auto* part : {&train, &test}) {
      for (const Sample& s : *part) {
        for (int j = 0; j < kInputs; ++j) {
          min[j] = std::min(min[j], s.inputs[j]);
          max[j] = std::max(max[j], s.inputs[j]);
        }
      }
    }
    for (const Sample& s : train) {
      target_min = std::min(target_min, s.target);
      target_max = std::max(target_max, s.target);
    }
  }
  double Input(int j, double x) const { return (x - min[j]) / (max[j] - min[j]); }
  double Target(double y) const { return (y - target_min) / (target_max - target_min); }
  double Unscale(double y) const { return y * (target_max - target_min) + target_min; }
};

struct Outcome {
  int32_t epochs_run = 0;
  bool converged = false;
  Fit fit;
};

class Sqlite {
 public:
  explicit Sqlite(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) Fail("open " + path);
  }
  ~Sqlite() { sqlite3_close(db_); }
  Sqlite(const Sqlite&) = delete;
  Sqlite& operator=(const Sqlite&) = delete;

  void Exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
  }
  // The first column of every row of `sql`.
  std::vector<double> Column(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
    std::vector<double> values;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
      values.push_back(sqlite3_column_double(stmt, 0));
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) Fail(sql);
    return values;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + sqlite3_errmsg(db_));
  }
  sqlite3* db_ = nullptr;
};

// The table kelda trains on: the training rows, then the hold-out rows with a
// Null target.
void WriteTable(const std::string& path, const std::vector<Sample>& train,
                const std::vector<Sample>& test) {
  Sqlite db(path);
  std::string columns;
  for (const char* c : kColumns) columns += std::string(c) + " REAL, ";
  db.Exec("CREATE TABLE diabetes (" + columns + "progression REAL); BEGIN;");
  for (const auto* part : {&train, &test}) {
    for (const Sample& s : *part) {
      std::string values;
      char number[32];
      for (double v : s.inputs) {
        std::snprintf(number, sizeof number, "%.17g, ", v);
        values += number;
      }
      std::snprintf(number, sizeof number, "%.17g", s.target);
      db.Exec("INSERT INTO diabetes VALUES (" + values + (part == &train ? number : "NULL") + ")");
    }
  }
  db.Exec("COMMIT;");
}

Outcome RunKelda(const std::vector<Sample>& train, const std::vector<Sample>& test,
                 int32_t epochs) {
  TempDir dir;
  WriteTable(dir.db_path(), train, test);
  Outcome outcome;
  {
    Network net;
    net.SetMSAccessDBName(dir.db_path());
    net.SetMSAccessTableName("diabetes");
    net.SetEpochs(epochs);
    RunOptions options;
    options.seed = kWeightSeed;
    net.RunNetwork(options);
    outcome.epochs_run = net.EpochsRun();
    outcome.converged = net.Converged();
  }
  const std::vector<double> predicted =
      Sqlite(dir.db_path())
          .Column("SELECT Actual FROM diabetes WHERE rowid > " + std::to_string(train.size()) +
                  " ORDER BY rowid");
  if (predicted.size() != test.size()) throw std::runtime_error("hold-out rows missing");
  outcome.fit = Score(predicted, test);
  return outcome;
}

Outcome RunFann(const std::vector<Sample>& train, const std::vector<Sample>& test,
                const Scaling& scaling, int32_t epochs) {
  using TrainData = std::unique_ptr<fann_train_data, decltype(&fann_destroy_train)>;
  using Net = std::unique_ptr<fann, decltype(&fann_destroy)>;
  TrainData data(fann_create_train(static_cast<unsigned>(train.size()), kInputs, 1),
                 &fann_destroy_train);
  for (std::size_t i = 0; i < train.size(); ++i) {
    for (int j = 0; j < kInputs; ++j) data->input[i][j] = scaling.Input(j, train[i].inputs[j]);
    data->output[i][0] = scaling.Target(train[i].target);
  }
  Net ann(fann_create_standard(3, kInputs, 20, 1), &fann_destroy);
  if (!ann || !data) throw std::runtime_error("FANN: out of memory");
  fann_set_activation_function_hidden(ann.get(), FANN_SIGMOID);
  fann_set_activation_function_output(ann.get(), FANN_SIGMOID);
  fann_set_training_algorithm(ann.get(), FANN_TRAIN_BATCH);
  // FANN draws its initial weights from rand().
  std::srand(kFannSeed);
  fann_randomize_weights(ann.get(), -0.1, 0.1);
  for (int32_t e = 0; e < epochs; ++e) fann_train_epoch(ann.get(), data.get());

  std::vector<double> predicted;
  std::vector<fann_type> in(kInputs);
  for (const Sample& s : test) {
    for (int j = 0; j < kInputs; ++j) in[j] = scaling.Input(j, s.inputs[j]);
    predicted.push_back(scaling.Unscale(fann_run(ann.get(), in.data())[0]));
  }
  return Outcome{epochs, false, Score(predicted, test)};
}

// Least squares with an intercept, by the normal equations.
Fit LinearRegression(const std::vector<Sample>& train, const std::vector<Sample>& test) {
  constexpr int n = kInputs + 1;
  std::vector<std::vector<double>> a(n, std::vector<double>(n + 1, 0.0));
  for (const Sample& s : train) {
    double x[n];
    x[0] = 1.0;
    for (int j = 0; j < kInputs; ++j) x[j + 1] = s.inputs[j];
    for (int r = 0; r < n; ++r) {
      for (int c = 0; c < n; ++c) a[r][c] += x[r] * x[c];
      a[r][n] += x[r] * s.target;
    }
  }
  for (int p = 0; p < n; ++p) {
    int best = p;
    for (int r = p + 1; r < n; ++r) {
      if (std::fabs(a[r][p]) > std::fabs(a[best][p])) best = r;
    }
    std::swap(a[p], a[best]);
    for (int r = 0; r < n; ++r) {
      if (r == p) continue;
      const double f = a[r][p] / a[p][p];
      for (int c = p; c <= n; ++c) a[r][c] -= f * a[p][c];
    }
  }
  std::vector<double> predicted;
  for (const Sample& s : test) {
    double y = a[0][n] / a[0][0];
    for (int j = 0; j < kInputs; ++j) y += a[j + 1][n] / a[j + 1][j + 1] * s.inputs[j];
    predicted.push_back(y);
  }
  return Score(predicted, test);
}

void PrintRow(const char* who, int32_t asked, const Outcome& o) {
  std::printf("%-18s %6d %6d  %-9s %9.2f %7.3f\n", who, asked, o.epochs_run,
              o.converged ? "converged" : "completed", o.fit.rmse, o.fit.r2);
}

std::string g_data_dir = kDefaultDataDir;

int Run() {
  std::vector<Sample> samples = LoadDiabetes(g_data_dir);
  Shuffle(samples, kSplitSeed);
  const std::size_t held_out = samples.size() / 5;
  const std::vector<Sample> train(samples.begin(), samples.end() - held_out);
  const std::vector<Sample> test(samples.end() - held_out, samples.end());
  const Scaling scaling(train, test);

  std::printf(
      "diabetes: %zu rows, %d inputs; %zu training rows, then %zu hold-out rows (target Null)\n"
      "figures on the hold-out rows, in the target's units\n",
      samples.size(), kInputs, train.size(), test.size());
  std::printf("%-18s %6s %6s  %-9s %9s %7s\n", "", "asked", "run", "ended", "test RMSE", "test R2");
  for (int32_t epochs : kEpochs) PrintRow("kelda", epochs, RunKelda(train, test, epochs));
  for (int32_t epochs : kEpochs) {
    PrintRow("FANN batch", epochs, RunFann(train, test, scaling, epochs));
  }
  const Fit linear = LinearRegression(train, test);
  std::printf("%-18s %6s %6s  %-9s %9.2f %7.3f\n", "least squares", "-", "-", "", linear.rmse,
              linear.r2);
  return 0;
}

}  // namespace
}  // namespace kelda::bench

int main(int argc, char** argv) {
  if (argc > 1) kelda::bench::g_data_dir = argv[1];
  return kelda::bench::RunProgram("kelda_bench_quality", kelda::bench::Run);
}
