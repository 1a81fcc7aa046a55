// The random source of weight initialisation: uniform on [0, 1) with 24 bits
// of resolution, re-seedable from the clock or from a fixed seed.
#pragma once

#include <cstdint>

namespace kelda::engine {

class RandomSource {
 public:
  // Same seed, same sequence of draws, on every platform.
  void Seed(uint64_t seed);
  // Seeds from the system clock (its finest tick).
  void SeedFromClock();
  // The next draw: k / 2^24 for an integer k in 0 .. 2^24 - 1, as a float
  // (exact, since a float holds 24 bits).
  float Next();

 private:
  uint64_t state_ = 0;
};

}  // namespace kelda::engine
