#include "cli/fit.h"

#include <cassert>
#include <cmath>

namespace kelda::cli {

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

}  // namespace kelda::cli
