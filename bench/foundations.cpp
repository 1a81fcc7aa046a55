// The foundations of a training epoch, on one example table of 5000 rows:
// reading the run's rows through the data layer against the bare SQLite
// scan of the same statements, committing a report epoch's predictions, and
// the engine's arithmetic of an epoch against FANN's batch epoch of a 19-20-1
// sigmoid network. Prints medians and how they compare with their
// targets; a missed target is reported, not failed.
#include <doublefann.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_common.h"

namespace kelda::bench {
namespace {

constexpr int kReps = 21;
constexpr int kUpdateReps = 7;
constexpr uint64_t kSeed = 7;
constexpr int kHiddenUnits = 20;

void MeasureReads(const std::string& path, RunSources& sources) {
  BareScan bare(path, sources);
  const double ours_sum = ReadEpoch(sources);
  const double bare_sum = bare.Epoch();
  if (ours_sum != bare_sum) {
    char text[160];
    std::snprintf(text, sizeof text, "the data layer read other values than SQLite: %.17g, %.17g",
                  ours_sum, bare_sum);
    throw std::runtime_error(text);
  }
  // Interleaved, so that load from elsewhere on the machine falls on both.
  std::vector<double> ours;
  std::vector<double> raw;
  for (int i = 0; i < kReps; ++i) {
    ours.push_back(TimeMs([&] { Keep(ReadEpoch(sources)); }));
    raw.push_back(TimeMs([&] { Keep(bare.Epoch()); }));
  }
  PrintMs("three-cursor read", Median(ours));
  PrintMs("bare SQLite scan", Median(raw));
  PrintRatio("three-cursor read / bare scan", Median(ours) / Median(raw), 1.3, false);
}

// The writes of a report epoch: every row's `Actual` stored and committed
// through the table's cursor while the input and target cursors stand in the
// middle of their scans, holding their snapshots. Also timed: the rewind of
// the three cursors that follows, as the next epoch begins, since the first
// rewind checkpoints the log the commits have written.
void MeasureUpdates(RunSources& sources) {
  data::Recordset& inputs = sources.inputs();
  data::Recordset& target = sources.target();
  data::Recordset& table = sources.table();
  const auto rewind = [&] {
    target.MoveFirst();
    inputs.MoveFirst();
    table.MoveFirst();
  };
  std::vector<double> update_ms;
  std::vector<double> rewind_ms;
  rewind();
  for (int rep = 0; rep < kUpdateReps; ++rep) {
    for (int r = 0; r < kRows / 2; ++r) {
      inputs.MoveNext();
      target.MoveNext();
    }
    int updates = 0;
    update_ms.push_back(TimeMs([&] {
      for (; !table.IsEOF(); table.MoveNext(), ++updates) {
        table.Edit();
        table.Fields("Actual").SetValue(Value(rep + updates * 1e-4));
        table.Update();
      }
    }));
    if (updates != kRows) throw std::runtime_error("the table cursor did not reach every row");
    rewind_ms.push_back(TimeMs(rewind));
  }
  PrintMsTarget("5000 committed Actual updates", Median(update_ms), 150.0);
  PrintMs("rewind after the updates (checkpoint of their log)", Median(rewind_ms));
}

// FANN's batch epoch on the same scaled rows: sigmoid units, 19 inputs, one
// hidden layer of 20, one output. (The engine's input layer is sized from the
// table's columns and carries a 20th unit that stays 0, so it does slightly
// more work than this network.)
class FannEpochs {
 public:
  FannEpochs(const MemoryRows& rows, const training::ObjectFields& fields) {
    const auto count = static_cast<unsigned>(rows.targets.size());
    const auto columns = static_cast<unsigned>(rows.columns);
    data_ = fann_create_train(count, columns, 1);
    if (data_ == nullptr) throw std::runtime_error("FANN could not allocate the examples");
    ann_ = fann_create_standard(3, columns, static_cast<unsigned>(kHiddenUnits), 1u);
    if (ann_ == nullptr) {
      fann_destroy_train(data_);
      throw std::runtime_error("FANN could not create the network");
    }
    const double min = fields.TargetMin(1).ToDouble();
    const double range = fields.TargetMax(1).ToDouble() - min;
    for (unsigned r = 0; r < count; ++r) {
      for (unsigned j = 0; j < columns; ++j) data_->input[r][j] = rows.inputs[r * columns + j];
      data_->output[r][0] = (rows.targets[r].ToDouble() - min) / range;
    }
    fann_set_activation_function_hidden(ann_, FANN_SIGMOID);
    fann_set_activation_function_output(ann_, FANN_SIGMOID);
    fann_set_training_algorithm(ann_, FANN_TRAIN_BATCH);
    fann_set_learning_rate(ann_, 0.15f);
    std::srand(static_cast<unsigned>(kSeed));
    fann_randomize_weights(ann_, -0.25, 0.25);
    // Allocates the slope arrays, so that every timed copy has them.
    fann_train_epoch(ann_, data_);
  }
  ~FannEpochs() {
    fann_destroy(ann_);
    fann_destroy_train(data_);
  }
  FannEpochs(const FannEpochs&) = delete;
  FannEpochs& operator=(const FannEpochs&) = delete;

  // Milliseconds of one epoch from the starting state.
  double TimeOneMs() {
    struct fann* work = fann_copy(ann_);
    if (work == nullptr) throw std::runtime_error("FANN copy failed");
    const double ms = TimeMs([&] { Keep(fann_train_epoch(work, data_)); });
    fann_destroy(work);
    return ms;
  }

 private:
  struct fann_train_data* data_ = nullptr;
  struct fann* ann_ = nullptr;
};

void MeasureArithmetic(RunSources& sources) {
  MemoryRows rows = LoadRows(sources);
  FannEpochs fann(rows, sources.fields());
  EngineEpochs ours(sources.net(), sources.fields(), std::move(rows));
  std::vector<double> ours_ms;
  std::vector<double> fann_ms;
  for (int i = 0; i < kReps; ++i) {
    ours_ms.push_back(ours.TimeOneMs());
    fann_ms.push_back(fann.TimeOneMs());
  }
  PrintMs("engine arithmetic, one epoch", Median(ours_ms));
  PrintMs("FANN batch epoch", Median(fann_ms));
  PrintRatio("engine arithmetic / FANN batch epoch", Median(ours_ms) / Median(fann_ms), 0.6, true);
}

// The engine's arithmetic alone, to profile it without the database work
// around it.
int RunArithmetic() {
  TempDir dir;
  BuildTable(dir.db_path());
  RunSources sources(dir.db_path(), kSeed);
  std::printf("%d rows, %d inputs; medians of %d runs\n", kRows, kInputs, kReps);
  MeasureArithmetic(sources);
  return 0;
}

int Run() {
  TempDir dir;
  BuildTable(dir.db_path());
  RunSources sources(dir.db_path(), kSeed);
  std::printf("%d rows, %d inputs; medians of %d runs (%d for the updates)\n", kRows, kInputs,
              kReps, kUpdateReps);
  MeasureReads(dir.db_path(), sources);
  MeasureUpdates(sources);
  MeasureArithmetic(sources);
  return 0;
}

}  // namespace
}  // namespace kelda::bench

// `kelda_bench_foundations arithmetic` measures the engine's arithmetic only.
int main(int argc, char** argv) {
  const bool arithmetic_only = argc > 1 && std::string(argv[1]) == "arithmetic";
  return kelda::bench::RunProgram(
      "kelda_bench_foundations", arithmetic_only ? kelda::bench::RunArithmetic : kelda::bench::Run);
}
