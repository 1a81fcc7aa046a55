#include <kelda/fit.h>

#include <cassert>
#include <cmath>

#include "base/error.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "training/object_fields.h"
#include "training/training_table.h"

namespace kelda {

FitFigures MeasureFit(const std::vector<double>& targets, const std::vector<double>& predictions) {
  assert(targets.size() == predictions.size());
  FitFigures fit;
  fit.examples = static_cast<int32_t>(targets.size());
  if (targets.empty()) return fit;
  const double n = static_cast<double>(targets.size());
  double mean = 0.0;
  for (double y : targets) mean += y;
  mean /= n;
  double residual = 0.0;
  double total = 0.0;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    residual += (predictions[i] - targets[i]) * (predictions[i] - targets[i]);
    total += (targets[i] - mean) * (targets[i] - mean);
  }
  fit.rmse = std::sqrt(residual / n);
  if (total > 0.0) fit.r2 = 1.0 - residual / total;
  return fit;
}

RunFit MeasureRunFit(const Network& network, bool with_predictions, const WorkOptions& work) {
  const training::ObjectFields& fields = network.Fields();
  if (!fields.TargetRecordset) {
    Raise(kErrSubscript, StandardErrorText(kErrSubscript) +
                             " (no training run has set up this network: nothing to measure)");
  }
  ScopedThreadSettings settings;
  settings.Apply(work);
  data::Database db = training::OpenRunDatabase(ThisThread().DBEngine(), fields);
  data::Recordset table = db.OpenRecordset(fields.MSAccessTableName);
  const data::Field target_field = table.Fields(fields.TargetRecordset->Fields(0).Name());
  const data::Field actual_field = table.Fields("Actual");
  RunFit outcome;
  outcome.rows = fields.RowCount();
  // A text that reads as a number counts as one, as the run reads it.
  auto number = [](const Value& v) -> std::optional<double> {
    if (v.IsNumber()) return v.number();
    if (v.IsText()) return ParseNumber(v.text());
    return std::nullopt;
  };
  std::vector<double> targets;
  std::vector<double> predicted;
  bool examples = true;
  bool all_numbers = true;
  int32_t examples_seen = 0;
  if (with_predictions) outcome.predictions.emplace();
  for (int32_t row = 0; row < outcome.rows; ++row, table.MoveNext()) {
    const std::optional<double> actual = number(actual_field.GetValue());
    if (outcome.predictions) outcome.predictions->push_back(actual);
    if (!examples) continue;
    const Value target = target_field.GetValue();
    if (target.IsNull()) {
      examples = false;
      continue;
    }
    ++examples_seen;
    const std::optional<double> y = number(target);
    if (!y || !actual) {
      all_numbers = false;
      continue;
    }
    targets.push_back(*y);
    predicted.push_back(*actual);
  }
  outcome.fit = MeasureFit(targets, predicted);
  if (!all_numbers) {
    // A figure over some of the examples would pass for one over all.
    outcome.fit.rmse.reset();
    outcome.fit.r2.reset();
    outcome.fit.examples = examples_seen;
  }
  return outcome;
}

}  // namespace kelda
