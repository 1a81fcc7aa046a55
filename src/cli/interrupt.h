// Stopping a command of the tool with SIGINT (Ctrl-C) or SIGTERM: the signal
// is only noted, and the work in progress notices it at its next yield or, in
// a database statement that never yields, within a few thousand of SQLite's
// steps. It then ends with error 18 like any other error, so every handle is
// released and every committed row stays as it was written.
#pragma once

#include <signal.h>

#include "component/thread_settings.h"

namespace kelda::cli {

// While it lives, SIGINT and SIGTERM are noted instead of ending the process
// (a second signal of the same kind ends it as before), and every Database
// that the calling thread's engine opens stops its statements once one has
// arrived. The earlier signal dispositions and interrupt check come back when
// it is destroyed.
// REQUIRES: one at a time per process; destroyed on the thread that made it.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  struct sigaction saved_actions_[2] = {};
  ScopedThreadSettings settings_;
};

// The signal noted since the current scope began; 0 when none.
int ReceivedSignal();

// Raises 18 ("User interrupt occurred") once a signal has been noted.
void CheckInterrupt();

}  // namespace kelda::cli
