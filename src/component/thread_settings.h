// Changing the calling thread's run settings for one scope. The fixed seed,
// the yield hook and the database engine's interrupt check, busy timeout and
// commit window live in the thread's block (thread_block.h) and so belong to
// whoever runs on the thread next: a caller that changes one for its own run
// puts it back afterwards, also when the run ends by an error.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "../../include/kelda/run_options.h"
#include "component/thread_block.h"
#include "data/database.h"
#include "training/training_run.h"

namespace kelda {

// Each setting changed through the object keeps the value it had before its
// first change, and gets it back when the object is destroyed; settings never
// changed through it are left alone. A setting that was changed through it
// and then assigned directly (a test replacing block.yield mid-scope) is put
// back all the same.
//
// REQUIRES: created and destroyed on the same thread, scopes on one thread
// destroyed in the reverse order of their creation. A hook or check that
// refers to the caller's frame must not outlive it: declare the object after
// whatever the hook refers to.
// Raises 18 ("User interrupt occurred") once options.cancel returns true:
// for a call's yields, and for loops whose statements are too short for the
// engine's interrupt check to be asked.
void RaiseIfCancelled(const WorkOptions& options);

class ScopedThreadSettings {
 public:
  // Changes nothing until a setter is called.
  ScopedThreadSettings();
  // The common case: the seed (nullopt: from the clock) and the yield hook
  // (nullptr: none) for one run.
  ScopedThreadSettings(std::optional<uint64_t> seed, training::YieldHook yield,
                       training::YieldUse use = training::YieldUse::kMayWriteDatabase);
  ~ScopedThreadSettings();
  ScopedThreadSettings(const ScopedThreadSettings&) = delete;
  ScopedThreadSettings& operator=(const ScopedThreadSettings&) = delete;

  // The seed of the weights: the same start on every run while set,
  // nullopt for a start from the clock.
  void SetSeed(std::optional<uint64_t> seed);
  // Run at every yield of a training run (nullptr: a yield does nothing);
  // `use` tells what it may do to the run's database file.
  void SetYield(training::YieldHook yield,
                training::YieldUse use = training::YieldUse::kMayWriteDatabase);
  // Asked by every database the thread's engine opens from now on
  // (data::DBEngine::SetInterruptCheck); creates the engine if the thread
  // has none yet. A database opened earlier keeps the check it was opened
  // with.
  void SetInterruptCheck(data::InterruptCheck check);
  // The thread's engine's busy timeout and commit window (DBEngine), for
  // databases opened and rows written from now on.
  void SetBusyTimeout(std::chrono::milliseconds timeout);
  void SetCommitWindow(std::chrono::milliseconds window);

  // What `options` sets: its busy timeout and commit window where given, and
  // its cancel check, when there is one, as the engine's interrupt check,
  // asked after the check the thread had (a host's Ctrl-C still stops the
  // call). REQUIRES: `options` outlives this object.
  void Apply(const WorkOptions& options);

 private:
  ThreadBlock& block_;
  std::optional<std::optional<uint64_t>> saved_seed_;
  std::optional<training::YieldHook> saved_yield_;
  training::YieldUse saved_use_ = training::YieldUse::kMayWriteDatabase;
  std::optional<data::InterruptCheck> saved_check_;
  std::optional<std::chrono::milliseconds> saved_busy_timeout_;
  std::optional<std::chrono::milliseconds> saved_commit_window_;
};

}  // namespace kelda
