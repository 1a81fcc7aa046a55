// How a host controls one long call of the runtime: a training run, an input
// relevance analysis, a prediction into a table. Everything here applies to
// that one call only: the thread's settings (its seed, its database engine's
// timeouts and interrupt check, the automation component's own hooks) are
// back as they were when the call returns, however it ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kelda {

// A request to stop, shared by every copy of the token: a host keeps one copy
// and hands another to the call. Cancel() may be called from any thread, and
// from a signal handler (it stores one lock-free atomic flag).
class CancelToken {
 public:
  CancelToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}

  void Cancel() const noexcept { flag_->store(true, std::memory_order_relaxed); }
  bool Cancelled() const noexcept { return flag_->load(std::memory_order_relaxed); }

  // As a cancel check (WorkOptions::cancel): true once Cancel() was called.
  bool operator()() const noexcept { return Cancelled(); }

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

// What a long call may be told about its database and about stopping early.
struct WorkOptions {
  // Asked at every yield of the call and, inside a database statement, every
  // few thousand of the database's steps, on the calling thread. Once it
  // returns true the call ends with Error 18 ("User interrupt occurred"),
  // like any other error: every handle released, every committed row as it
  // was written, nothing rolled back. Empty: the call runs to its end.
  // REQUIRES: does not throw (it is called from inside the database engine).
  std::function<bool()> cancel;

  // How long a lock held by another program is waited for before the call
  // raises 3218. nullopt: the thread's setting (5 seconds unless changed).
  std::optional<std::chrono::milliseconds> busy_timeout;

  // How long stored predictions may wait to be committed together where the
  // call writes many rows without yielding in between (the final write-back,
  // the relevance analysis, a prediction into a table); zero commits every
  // row on its own. nullopt: the thread's setting (200 ms unless changed).
  std::optional<std::chrono::milliseconds> commit_window;
};

// Where a training run stands at one of its yields.
struct RunProgress {
  int32_t epoch = 0;   // the epoch begun last; 0 during set-up
  int32_t epochs = 0;  // of how many
  // The status window's texts, without their leading blanks: the cycle
  // ("Cycle 10") and the error sum ("RMS Error: .0123"). Empty until this
  // run has shown its first report, so that an earlier run's texts are never
  // taken for this one's.
  std::string cycle_text;
  std::string error_text;
};

struct RunOptions : WorkOptions {
  // The seed of the initial weights: the same seed on the same table gives
  // the same run to the last bit (as the tool's --seed). nullopt: from the
  // clock.
  std::optional<uint64_t> seed;

  // Called at every yield of the run (many times an epoch, at least once an
  // epoch), on the calling thread, after the status window has been brought
  // up to date. It may throw to stop the run: the run then ends there as it
  // ends on a cancel (with Error 18 inside, everything released), and the
  // callback's own exception reaches the caller of RunNetwork unchanged.
  // Like all host code at a yield, it cannot change the run (see Network).
  std::function<void(const RunProgress&)> progress;

  // Whether `progress` may write to the run's database file through a
  // connection of its own. True (the safe default): the run commits its open
  // group of predictions before each call, so the callback never meets the
  // run's write lock. False, for a callback that leaves the file alone (a
  // progress bar): predictions are committed in groups across yields.
  bool progress_writes_database = true;
};

}  // namespace kelda
