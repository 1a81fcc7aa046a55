#include "component/thread_settings.h"

#include <algorithm>
#include <utility>

#include "base/error.h"

namespace kelda {

ScopedThreadSettings::ScopedThreadSettings() : block_(ThisThread()) {}

ScopedThreadSettings::ScopedThreadSettings(std::optional<uint64_t> seed, training::YieldHook yield,
                                           training::YieldUse use)
    : ScopedThreadSettings() {
  SetSeed(seed);
  SetYield(std::move(yield), use);
}

ScopedThreadSettings::~ScopedThreadSettings() {
  if (saved_commit_window_) block_.DBEngine().SetCommitWindow(*saved_commit_window_);
  if (saved_busy_timeout_) block_.DBEngine().SetBusyTimeout(*saved_busy_timeout_);
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

void ScopedThreadSettings::SetBusyTimeout(std::chrono::milliseconds timeout) {
  data::DBEngine& engine = block_.DBEngine();
  if (!saved_busy_timeout_) saved_busy_timeout_ = engine.BusyTimeout();
  engine.SetBusyTimeout(timeout);
}

void ScopedThreadSettings::SetCommitWindow(std::chrono::milliseconds window) {
  data::DBEngine& engine = block_.DBEngine();
  if (!saved_commit_window_) saved_commit_window_ = engine.CommitWindow();
  engine.SetCommitWindow(window);
}

void RaiseIfCancelled(const WorkOptions& options) {
  if (options.cancel && options.cancel()) Raise(kErrUserInterrupt);
}

void ScopedThreadSettings::Apply(const WorkOptions& options) {
  // A negative span waits as long as none.
  constexpr std::chrono::milliseconds kNone{0};
  if (options.busy_timeout) SetBusyTimeout(std::max(*options.busy_timeout, kNone));
  if (options.commit_window) SetCommitWindow(std::max(*options.commit_window, kNone));
  if (options.cancel) {
    // The earlier check is asked first: it may be a signal's, noted by a
    // host that reports its own interrupt.
    SetInterruptCheck([earlier = block_.DBEngine().GetInterruptCheck(), &cancel = options.cancel] {
      return (earlier && earlier()) || cancel();
    });
  }
}

}  // namespace kelda
