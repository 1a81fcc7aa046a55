#include "training/training_run.h"

#include <charconv>
#include <cstdint>

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
// first field of the target row source's current row.
class RecordsetTarget : public engine::TargetSource {
 public:
  explicit RecordsetTarget(ObjectFields& fields) : fields_(fields) {}
  Value CurrentTarget() override { return fields_.TargetRecordset->Fields(0).GetValue(); }
  const Value& TargetMin() const override { return fields_.TargetMin(1); }
  const Value& TargetMax() const override { return fields_.TargetMax(1); }
  double& FieldValue() override { return fields_.FieldValue; }

 private:
  ObjectFields& fields_;
};

// Hands control to the thread's message loop once: the status window
// repaints and takes the user's input, then the host's own hook runs.
void Yield(ThreadServices& thread) {
  thread.status.Yield();
  if (thread.yield) thread.yield();
}

}  // namespace

void RunNetwork(ThreadServices& thread, ObjectFields& fields) {
  engine::NetworkState& net = thread.net;
  RunHandles run = OpenTrainingTable(thread.db_engine, net, fields);
  data::Recordset& inputs = *run.InputRecordset;
  data::Recordset& outputs = *run.OutputRecordset;
  const int input_columns = fields.InputColumnCount();
  RecordsetTarget target(fields);

  int32_t cycle_count = 0;
  status::TraceState trace;
  const int32_t epochs = fields.Epochs;
  thread.progress = RunProgress{0, epochs};

  Yield(thread);
  net.ErrorSum = 0.0;
  net.EpochsSinceReport = 0;

  for (int32_t epoch = 1; epoch <= epochs; ++epoch) {
    fields.TargetRecordset->MoveFirst();
    inputs.MoveFirst();
    outputs.MoveFirst();
    cycle_count = CheckedAdd<int32_t>(cycle_count, 1);
    thread.progress.epoch = epoch;
    Yield(thread);
    net.EpochsSinceReport = CheckedAdd<int16_t>(net.EpochsSinceReport, 1);
    net.ErrorSum = 0.0;
    const bool report = cycle_count == 1 || net.EpochsSinceReport >= net.ReportInterval;

    const int16_t last_example = Narrow<int16_t>(fields.RowCount());
    // The counter ends one past the last example processed, as a counting
    // loop leaves it, and is stepped back below.
    for (net.CurrentPattern = 1; net.CurrentPattern <= last_example;
         net.CurrentPattern = CheckedAdd<int16_t>(net.CurrentPattern, 1)) {
      if (fields.TargetRecordset->Fields(0).GetValue().IsNull()) break;
      LoadInputs(net, fields, inputs, input_columns);
      engine::ForwardPass(net);
      engine::BackPropMomentum(net, target);
      engine::BackPropGradient(net, target);

      if (report) {
        StorePrediction(net, fields, outputs);
        thread.status.Form().SetErrorText(net.ErrorSum);
        thread.status.Form().SetCycleText(cycle_count);
        Yield(thread);
      }

      inputs.MoveNext();
      fields.TargetRecordset->MoveNext();
      outputs.MoveNext();
      status::TraceStep(thread.status.Form(), trace, net.ErrorSum);
    }

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
