// Network's methods with options (kelda/run_options.h): each sets the
// thread's settings for one call and calls the plain method.
#include <exception>
#include <string>
#include <utility>

#include "../../include/kelda/status_window.h"
#include "base/error.h"
#include "component/network.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"

namespace kelda {

namespace {

// The yield hook of a run with a cancel check or a progress callback. The
// thread's own hook (a host's message loop) runs first, as it would without
// options. What the callback throws is kept in `raised` and the run stopped
// with 18, which releases everything on its way out; the caller then throws
// the callback's exception in its place.
training::YieldHook RunHook(ThreadBlock& block, const RunOptions& options,
                            std::exception_ptr& raised) {
  // The status window outlives runs: until this run changes its texts, they
  // are an earlier run's.
  return [earlier_hook = block.yield, &block, &options, &raised,
          earlier_texts = CurrentStatusTexts(), texts_current = false]() mutable {
    if (earlier_hook) earlier_hook();
    RaiseIfCancelled(options);
    if (!options.progress) return;
    RunProgress progress{block.progress.epoch, block.progress.epochs, {}, {}};
    StatusTexts now = CurrentStatusTexts();
    texts_current = texts_current || now != earlier_texts;
    if (texts_current) {
      progress.cycle_text = std::move(now.cycle_text);
      progress.error_text = std::move(now.error_text);
    }
    try {
      options.progress(progress);
    } catch (...) {
      raised = std::current_exception();
      Raise(kErrUserInterrupt,
            StandardErrorText(kErrUserInterrupt) + ": the progress callback raised");
    }
  };
}

// What the hook may do to the run's file: whatever the thread's own hook or
// the callback may do.
training::YieldUse RunHookUse(const ThreadBlock& block, const RunOptions& options) {
  const bool earlier_writes =
      block.yield && block.yield_use == training::YieldUse::kMayWriteDatabase;
  const bool progress_writes = options.progress && options.progress_writes_database;
  return earlier_writes || progress_writes ? training::YieldUse::kMayWriteDatabase
                                           : training::YieldUse::kLeavesDatabaseAlone;
}

}  // namespace

void Network::RunNetwork(const RunOptions& options) {
  ThreadBlock& block = ThisThread();
  // Before anything changes: a refused call leaves the thread as it was.
  RefuseWhileInUse(block, "RunNetwork");
  std::exception_ptr raised;  // by options.progress; outlives the hook
  try {
    ScopedThreadSettings settings;
    settings.Apply(options);
    if (options.seed) settings.SetSeed(options.seed);
    if (options.cancel || options.progress) {
      const training::YieldUse use = RunHookUse(block, options);
      settings.SetYield(RunHook(block, options, raised), use);
    }
    if (options.cancel && options.cancel()) {
      epochs_run_ = 0;
      converged_ = false;
      Raise(kErrUserInterrupt);
    }
    RunNetwork();
  } catch (...) {
    if (raised) std::rethrow_exception(raised);
    throw;
  }
}

std::optional<std::vector<double>> Network::InputRelevance(const WorkOptions& options) {
  RefuseWhileInUse(ThisThread(), "InputRelevance");
  ScopedThreadSettings settings;
  settings.Apply(options);
  RaiseIfCancelled(options);
  return InputRelevance();
}

}  // namespace kelda
