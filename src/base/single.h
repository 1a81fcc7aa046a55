// Storing doubles into singles, as the runtime's conversion does.
#pragma once

#include <cmath>
#include <limits>

#include "base/error.h"

namespace kelda {

// `v` rounded to the nearest single. Raises 6 (overflow) where `v` rounds
// beyond the largest single, or is a NaN, rather than storing an infinity;
// a value just above the largest single that rounds down to it is stored.
inline float ToSingle(double v) {
  // Halfway between the largest single and the next power of two rounds to
  // even, which is upwards, so the bound itself overflows.
  constexpr double kOverflowBound =
      static_cast<double>(std::numeric_limits<float>::max()) + 0x1p103;
  if (!(std::fabs(v) < kOverflowBound)) Raise(kErrOverflow);
  return static_cast<float>(v);
}

}  // namespace kelda
