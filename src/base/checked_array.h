// A one-dimensional array with lower bound 0 and a checked upper bound, as
// the object's per-run arrays are: any index outside 0 .. UBound(), and any
// use before the first Redim, raises error 9.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/error.h"

namespace kelda {

template <typename T>
class CheckedArray {
 public:
  // True once Redim has sized the array.
  bool IsDimensioned() const { return dimensioned_; }

  // Discards the contents and sizes the array to indices 0 .. ubound, each
  // element a default T. REQUIRES: ubound >= -1 (-1: no element).
  void Redim(int32_t ubound) {
    if (ubound < -1) Raise(kErrSubscript);
    data_.assign(static_cast<std::size_t>(ubound) + 1, T{});
    dimensioned_ = true;
  }

  int32_t UBound() const {
    if (!dimensioned_) Raise(kErrSubscript);
    return static_cast<int32_t>(data_.size()) - 1;
  }

  T& operator()(int32_t i) { return data_[Index(i)]; }
  const T& operator()(int32_t i) const { return data_[Index(i)]; }

 private:
  std::size_t Index(int32_t i) const {
    if (!dimensioned_ || i < 0 || static_cast<std::size_t>(i) >= data_.size()) Raise(kErrSubscript);
    return static_cast<std::size_t>(i);
  }
  std::vector<T> data_;
  bool dimensioned_ = false;
};

}  // namespace kelda
