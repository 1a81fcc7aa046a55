// Checked integer and floating-point arithmetic. Counts never wrap and no
// infinity or NaN is ever stored: the operation raises a numbered run-time
// error instead (6 overflow, 11 division by zero), which callers handle like
// any other error of a run.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "base/error.h"

namespace kelda {

// Returns x, or raises 6 when x is an infinity or NaN.
inline double Finite(double x) {
  if (!std::isfinite(x)) Raise(kErrOverflow);
  return x;
}

// a / b. Raises 6 for 0 / 0 and for a non-finite quotient, 11 for x / 0.
inline double Div(double a, double b) {
  if (b == 0.0) Raise(a == 0.0 ? kErrOverflow : kErrDivisionByZero);
  return Finite(a / b);
}

// Narrowing of an integer to 16 or 32 bits; raises 6 when it does not fit.
template <typename To, typename From>
To Narrow(From v) {
  static_assert(std::is_integral_v<To> && std::is_integral_v<From>);
  if (!std::in_range<To>(v)) Raise(kErrOverflow);
  return static_cast<To>(v);
}

// A double rounded to the nearest integer, halves to even (2.5 gives 2, 3.5
// gives 4); raises 6 when it does not fit in To.
template <typename To>
To RoundToInt(double v) {
  static_assert(std::is_integral_v<To>);
  if (!std::isfinite(v)) Raise(kErrOverflow);
  const double r = std::nearbyint(v);  // default rounding mode: to nearest, ties to even
  if (r < static_cast<double>(std::numeric_limits<To>::min()) ||
      r > static_cast<double>(std::numeric_limits<To>::max())) {
    Raise(kErrOverflow);
  }
  return static_cast<To>(r);
}

template <typename T>
T CheckedAdd(T a, T b) {
  static_assert(std::is_integral_v<T>);
  T r;
  if (__builtin_add_overflow(a, b, &r)) Raise(kErrOverflow);
  return r;
}

template <typename T>
T CheckedSub(T a, T b) {
  static_assert(std::is_integral_v<T>);
  T r;
  if (__builtin_sub_overflow(a, b, &r)) Raise(kErrOverflow);
  return r;
}

template <typename T>
T CheckedMul(T a, T b) {
  static_assert(std::is_integral_v<T>);
  T r;
  if (__builtin_mul_overflow(a, b, &r)) Raise(kErrOverflow);
  return r;
}

}  // namespace kelda
