#include "component/thread_settings.h"

#include <utility>

namespace kelda {

ScopedThreadSettings::ScopedThreadSettings() : block_(ThisThread()) {}

ScopedThreadSettings::ScopedThreadSettings(std::optional<uint64_t> seed, training::YieldHook yield,
                                           training::YieldUse use)
    : ScopedThreadSettings() {
  SetSeed(seed);
  SetYield(std::move(yield), use);
}

ScopedThreadSettings::~ScopedThreadSettings() {
  if (saved_check_) block_.DBEngine().SetInterruptCheck(std::move(*saved_check_));
  if (saved_yield_) {
    block_.yield = std::move(*saved_yield_);
    block_.yield_use = saved_use_;
  }
  if (saved_seed_) block_.network.FixedSeed = *saved_seed_;
}

void ScopedThreadSettings::SetSeed(std::optional<uint64_t> seed) {
  if (!saved_seed_) saved_seed_ = block_.network.FixedSeed;
  block_.network.FixedSeed = seed;
}

void ScopedThreadSettings::SetYield(training::YieldHook yield, training::YieldUse use) {
  if (!saved_yield_) {
    saved_yield_ = std::move(block_.yield);
    saved_use_ = block_.yield_use;
  }
  block_.yield = std::move(yield);
  block_.yield_use = use;
}

void ScopedThreadSettings::SetInterruptCheck(data::InterruptCheck check) {
  data::DBEngine& engine = block_.DBEngine();
  if (!saved_check_) saved_check_ = engine.GetInterruptCheck();
  engine.SetInterruptCheck(std::move(check));
}

}  // namespace kelda
