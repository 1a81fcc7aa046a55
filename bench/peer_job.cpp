// The peer side of the whole-job benchmark: what a program written directly
// on SQLite and FANN does for the job `kelda train` does. It loads the table
// once, scales every column to [0, 1] by its range (sigmoid units need it),
// trains FANN's batch algorithm on a 19-20-1 sigmoid network, and writes
// every row's prediction back into `Actual` by rowid in one transaction.
//
//   kelda_bench_peer DB TABLE EPOCHS
//
// Prints nothing on success; on failure one line on stderr and exit status 1.
#include <doublefann.h>
#include <sqlite3.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kHiddenUnits = 20;
constexpr unsigned kSeed = 7;

// The table's rows as FANN needs them: inputs are every column before the
// last two (the target, then Actual), as `kelda train` reads the table.
struct Rows {
  int inputs = 0;
  std::vector<sqlite3_int64> rowids;
  std::vector<double> values;  // row by row, inputs then the target
  std::vector<double> min;     // per column, inputs then the target
  std::vector<double> max;
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
  Rows rows;
  rows.inputs = columns - 2;
  const int used = rows.inputs + 1;
  rows.min.assign(used, std::numeric_limits<double>::infinity());
  rows.max.assign(used, -std::numeric_limits<double>::infinity());
  while (select.Step()) {
    rows.rowids.push_back(sqlite3_column_int64(select.get(), 0));
    for (int j = 0; j < used; ++j) {
      if (sqlite3_column_type(select.get(), j + 1) == SQLITE_NULL) {
        throw std::runtime_error("row " + std::to_string(rows.rowids.back()) + " holds a Null");
      }
      const double v = sqlite3_column_double(select.get(), j + 1);
      rows.values.push_back(v);
      if (v < rows.min[j]) rows.min[j] = v;
      if (v > rows.max[j]) rows.max[j] = v;
    }
  }
  if (rows.rowids.empty()) throw std::runtime_error("table " + table + " has no rows");
  return rows;
}

// A constant column scales to 0 rather than dividing by a zero range.
double Scale(const Rows& rows, int column, double v) {
  const double range = rows.max[column] - rows.min[column];
  return range > 0.0 ? (v - rows.min[column]) / range : 0.0;
}

// FANN's objects, freed on every path out.
struct Fann {
  struct fann* ann = nullptr;
  struct fann_train_data* data = nullptr;
  ~Fann() {
    if (ann != nullptr) fann_destroy(ann);
    if (data != nullptr) fann_destroy_train(data);
  }
};

// Trains for `epochs` and returns each row's unscaled prediction.
std::vector<double> TrainAndPredict(const Rows& rows, int epochs) {
  const auto count = static_cast<unsigned>(rows.rowids.size());
  const auto inputs = static_cast<unsigned>(rows.inputs);
  const unsigned used = inputs + 1;
  Fann fann;
  fann.data = fann_create_train(count, inputs, 1);
  if (fann.data == nullptr) throw std::runtime_error("FANN could not allocate the examples");
  for (unsigned r = 0; r < count; ++r) {
    const double* row = &rows.values[static_cast<size_t>(r) * used];
    for (unsigned j = 0; j < inputs; ++j) fann.data->input[r][j] = Scale(rows, j, row[j]);
    fann.data->output[r][0] = Scale(rows, inputs, row[inputs]);
  }
  fann.ann = fann_create_standard(3, inputs, static_cast<unsigned>(kHiddenUnits), 1u);
  if (fann.ann == nullptr) throw std::runtime_error("FANN could not create the network");
  fann_set_activation_function_hidden(fann.ann, FANN_SIGMOID);
  fann_set_activation_function_output(fann.ann, FANN_SIGMOID);
  fann_set_training_algorithm(fann.ann, FANN_TRAIN_BATCH);
  fann_set_learning_rate(fann.ann, 0.15f);
  std::srand(kSeed);
  fann_randomize_weights(fann.ann, -0.25, 0.25);
  for (int e = 0; e < epochs; ++e) fann_train_epoch(fann.ann, fann.data);

  const double min = rows.min[inputs];
  const double range = rows.max[inputs] - min;
  std::vector<double> predictions(count);
  for (unsigned r = 0; r < count; ++r) {
    predictions[r] = min + range * fann_run(fann.ann, fann.data->input[r])[0];
  }
  return predictions;
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

int ParseEpochs(const char* text) {
  int epochs = -1;
  const char* end = text + std::char_traits<char>::length(text);
  const auto [ptr, ec] = std::from_chars(text, end, epochs);
  if (ec != std::errc() || ptr != end || epochs < 0) {
    throw std::runtime_error(std::string("EPOCHS is a whole number from 0 up, not '") + text + "'");
  }
  return epochs;
}

int Run(int argc, char** argv) {
  if (argc != 4) throw std::runtime_error("usage: kelda_bench_peer DB TABLE EPOCHS");
  const int epochs = ParseEpochs(argv[3]);
  Db db(argv[1]);
  const Rows rows = Load(db, argv[2]);
  WriteBack(db, argv[2], rows, TrainAndPredict(rows, epochs));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelda_bench_peer: %s\n", e.what());
    return 1;
  }
}
