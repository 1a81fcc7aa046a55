#include "training/training_run.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "base/checked.h"
#include "engine/engine.h"
#include "status/trace.h"
#include "training/prediction.h"
#include "training/run_setup.h"
#include "training/training_table.h"

namespace kelda::training {

bool Converged(double error_sum) {
  // Fifteen significant digits are what a double shows as text; reading the
  // sum back from them keeps the test independent of how the text is written.
  char text[64];
  const auto written =
      std::to_chars(text, text + sizeof text, error_sum, std::chars_format::scientific, 14);
  double shown = 0.0;
  std::from_chars(text, written.ptr, shown);
  return shown < 0.0009;
}

namespace {

// The target of the current example, as the backward passes read it: the
// first field of the target row source's row, read once when the example is
// loaded.
class ExampleTarget : public engine::TargetSource {
 public:
  explicit ExampleTarget(ObjectFields& fields) : fields_(fields) {}
  void Set(Value target) { current_ = std::move(target); }
  Value CurrentTarget() override { return current_; }
  const Value& TargetMin() const override { return fields_.TargetMin(1); }
  const Value& TargetMax() const override { return fields_.TargetMax(1); }
  double& FieldValue() override { return fields_.FieldValue; }

 private:
  ObjectFields& fields_;
  Value current_;
};

// The examples of the last pass that read them from the table: what loading
// each left in the input layer and in FieldValue, and its target. Reading
// the same rows again would give the same numbers, so while no other
// connection has changed the file an epoch takes them from here.
class ExampleCache {
 public:
  void Clear(int inputs) {
    inputs_ = inputs;
    activations_.clear();
    field_values_.clear();
    targets_.clear();
  }
  void Add(const engine::NetworkState& net, double field_value, const Value& target) {
    for (int j = 1; j <= inputs_; ++j) activations_.push_back(net.Activation(j, 1));
    field_values_.push_back(field_value);
    targets_.push_back(target);
  }
  int size() const { return static_cast<int>(targets_.size()); }
  // Example `p` (1-based) into the input layer, as loading it left them.
  void Load(int p, engine::NetworkState& net, double& field_value) const {
    const size_t first = static_cast<size_t>(p - 1) * static_cast<size_t>(inputs_);
    for (int j = 1; j <= inputs_; ++j) {
      net.Activation(j, 1) = activations_[first + static_cast<size_t>(j - 1)];
    }
    field_value = field_values_[static_cast<size_t>(p - 1)];
  }
  const Value& Target(int p) const { return targets_[static_cast<size_t>(p - 1)]; }

 private:
  int inputs_ = 0;
  std::vector<double> activations_;
  std::vector<double> field_values_;
  std::vector<Value> targets_;
};

// Hands control to the thread's message loop once: the status window
// repaints and takes the user's input, then the host's own hook runs. Host
// code may write to the file through a connection of its own, so the run's
// open group of predictions in `db` is committed before any can run.
void Yield(ThreadServices& thread, data::Database& db) {
  thread.status.Yield([&db] { db.CommitGroup(); });
  if (thread.yield) {
    if (thread.yield_use == YieldUse::kMayWriteDatabase) db.CommitGroup();
    thread.yield();
  }
}

}  // namespace

void RunNetwork(ThreadServices& thread, ObjectFields& fields) {
  engine::NetworkState& net = thread.net;
  RunHandles run = OpenTrainingTable(thread.db_engine, net, fields);
  data::Recordset& inputs = *run.InputRecordset;
  data::Recordset& outputs = *run.OutputRecordset;
  const int input_columns = fields.InputColumnCount();
  ExampleTarget target(fields);
  // The predictions go to the rows by their keys (the run's fixed rows,
  // one per row counted): an epoch from memory then need not step the
  // table's cursor, which would read every row again from the file since
  // the last commit made its connection's copies stale. A table without
  // keys is written through the cursor.
  const bool keyed = fields.RunRows != nullptr;
  outputs.Fields("Actual");  // 3265 before the first epoch, not at the first report
  ExampleCache cache;
  bool cached = false;  // the cache holds a whole pass
  uint64_t cached_version = 0;

  int32_t cycle_count = 0;
  status::TraceState trace;
  const int32_t epochs = fields.Epochs;
  thread.progress = RunProgress{0, epochs};

  Yield(thread, *run.db);
  net.ErrorSum = 0.0;
  net.EpochsSinceReport = 0;

  for (int32_t epoch = 1; epoch <= epochs; ++epoch) {
    // Another program's commit (the run's own writes of `Actual` do not
    // count) means the rows are read again, from this epoch on.
    const uint64_t version = run.db->DataVersion();
    const bool from_memory = cached && version == cached_version;
    fields.TargetRecordset->MoveFirst();
    inputs.MoveFirst();
    outputs.MoveFirst();
    cycle_count = CheckedAdd<int32_t>(cycle_count, 1);
    thread.progress.epoch = epoch;
    Yield(thread, *run.db);
    net.EpochsSinceReport = CheckedAdd<int16_t>(net.EpochsSinceReport, 1);
    net.ErrorSum = 0.0;
    const bool report = cycle_count == 1 || net.EpochsSinceReport >= net.ReportInterval;
    if (!from_memory) {
      cached = false;
      cache.Clear(input_columns);
    }
    std::optional<PredictionWriter> writer;
    if (report) writer.emplace(*run.db, outputs, fields.RunRows, thread.db_engine.CommitWindow());

    const int16_t last_example = Narrow<int16_t>(fields.RowCount());
    // The counter ends one past the last example processed, as a counting
    // loop leaves it, and is stepped back below.
    for (net.CurrentPattern = 1; net.CurrentPattern <= last_example;
         net.CurrentPattern = CheckedAdd<int16_t>(net.CurrentPattern, 1)) {
      if (from_memory) {
        if (net.CurrentPattern > cache.size()) break;
        cache.Load(net.CurrentPattern, net, fields.FieldValue);
        target.Set(cache.Target(net.CurrentPattern));
      } else {
        Value t = fields.TargetRecordset->Fields(0).GetValue();
        if (t.IsNull()) break;
        LoadInputs(net, fields, inputs, input_columns);
        cache.Add(net, fields.FieldValue, t);
        target.Set(std::move(t));
      }
      engine::ForwardPass(net);
      engine::BackPropMomentumThenGradient(net, target);

      if (report) {
        writer->Store(net, fields, static_cast<size_t>(net.CurrentPattern - 1));
        thread.status.Form().SetErrorText(net.ErrorSum);
        thread.status.Form().SetCycleText(cycle_count);
        Yield(thread, *run.db);
      }

      if (!from_memory) {
        inputs.MoveNext();
        fields.TargetRecordset->MoveNext();
      }
      if (!from_memory || (report && !keyed)) outputs.MoveNext();
      status::TraceStep(thread.status.Form(), trace, net.ErrorSum);
    }

    if (!from_memory) {
      cached = true;
      cached_version = version;
    }

    if (report) writer->Commit();
    net.CurrentPattern = CheckedSub<int16_t>(net.CurrentPattern, 1);
    if (net.EpochsSinceReport >= net.ReportInterval) net.EpochsSinceReport = 0;
    // Judged on the whole pass: the first examples of an epoch may fit
    // closely while the rest do not. A fit ends training before the update.
    if (report && net.CurrentPattern > 0 && Converged(net.ErrorSum)) {
      thread.progress.converged = true;
      break;
    }
    engine::ApplySlopes(net);
    engine::UpdateWeights(net);
  }

  WritePredictions(thread.db_engine, net, fields);
  thread.status.Form().SetCompleteText();
}

}  // namespace kelda::training
