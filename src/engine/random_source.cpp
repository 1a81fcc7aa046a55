#include "engine/random_source.h"

#include <chrono>

namespace kelda::engine {

// splitmix64: a 64-bit counter run through a bijective mixer. Pure integer
// arithmetic, so a seed yields the same draws on every platform and compiler.
namespace {

constexpr uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

void RandomSource::Seed(uint64_t seed) { state_ = seed; }

void RandomSource::SeedFromClock() {
  // Nanosecond ticks: two runs started in the same second still differ.
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  Seed(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
}

float RandomSource::Next() {
  state_ += kGoldenGamma;
  // The top 24 bits are the best mixed; k / 2^24 is exact in a float.
  const uint64_t k = Mix(state_) >> 40;
  return static_cast<float>(k) * 0x1p-24f;
}

}  // namespace kelda::engine
