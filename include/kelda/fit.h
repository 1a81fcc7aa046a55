// How closely a run's stored predictions match their targets, in the
// target's own units — unlike the status window's error sum, which the
// network takes over scaled values and only in report epochs.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "network.h"
#include "run_options.h"

namespace kelda {

struct FitFigures {
  int32_t examples = 0;
  std::optional<double> rmse;  // none without examples
  std::optional<double> r2;    // none without examples, or when every target is the same
};

// Root mean squared error of `predictions` against `targets`, and R²
// (1 − residual sum of squares / total sum of squares about the targets'
// mean). REQUIRES: both hold the same number of values.
FitFigures MeasureFit(const std::vector<double>& targets, const std::vector<double>& predictions);

// What a training run stored, read back from its table.
struct RunFit {
  // The rows the run counted, and predicted.
  int32_t rows = 0;
  // The stored predictions of the example rows (those before the first Null
  // target, as the run trains) against their targets; without figures, but
  // with the number of examples, when one of them is not a number.
  FitFigures fit;
  // Every row's stored prediction in table order (none where it is not a
  // number), when asked for.
  std::optional<std::vector<std::optional<double>>> predictions;
};

// Reads back what the last training run of `network` stored in its table.
// The rows are the run's own, by the keys it fixed, and the target is the
// column the run trained on, by its name: rows other programs inserted since
// and columns they added are not mistaken for them. Reads through the
// calling thread's database engine with the cancel check and busy timeout
// of `work`.
//
// Raises 9 when no training run has set up `network`; 3021 when a row of
// the run has been deleted since (instead of a figure over other rows),
// 3197 when the file has been vacuumed or restructured since, 18 when
// cancelled, and the database's errors.
RunFit MeasureRunFit(const Network& network, bool with_predictions, const WorkOptions& work = {});

}  // namespace kelda
