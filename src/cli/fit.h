// How closely a run's stored predictions match their targets, in the
// target's own units — unlike the status window's error sum, which the
// network takes over scaled values and only in report epochs.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kelda::cli {

struct FitFigures {
  int32_t examples = 0;
  std::optional<double> rmse;  // none without examples
  std::optional<double> r2;    // none without examples, or when every target is the same
};

// Root mean squared error of `predictions` against `targets`, and R²
// (1 − residual sum of squares / total sum of squares about the targets'
// mean). REQUIRES: both hold the same number of values.
FitFigures MeasureFit(const std::vector<double>& targets, const std::vector<double>& predictions);

}  // namespace kelda::cli
