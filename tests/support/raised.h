// Test support: what a call raises.
#pragma once

#include <optional>
#include <utility>

#include "base/error.h"

namespace kelda::test {

// The kelda::Error that `fn` raises, or nullopt when it returns.
template <class F>
std::optional<Error> RaisedBy(F&& fn) {
  try {
    std::forward<F>(fn)();
  } catch (const Error& e) {
    return e;
  }
  return std::nullopt;
}

// The number of the kelda::Error that `fn` raises, 0 when it returns.
template <class F>
int ErrorNumberOf(F&& fn) {
  const std::optional<Error> e = RaisedBy(std::forward<F>(fn));
  return e ? e->Number() : 0;
}

}  // namespace kelda::test
