// Stopping a command of the tool with SIGINT (Ctrl-C) or SIGTERM: the signal
// is only noted, and the work in progress notices it through the cancel check
// of InterruptibleWork, which every call of the library is given: at the
// call's next yield or, in a database statement that never yields, within a
// few thousand of SQLite's steps. It then ends with error 18 like any other
// error, so every handle is released and every committed row stays as it was
// written.
#pragma once

#include <kelda/run_options.h>
#include <signal.h>

namespace kelda::cli {

// While it lives, SIGINT and SIGTERM are noted instead of ending the process
// (a second signal of the same kind ends it as before). The earlier signal
// dispositions come back when it is destroyed.
// REQUIRES: one at a time per process.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  struct sigaction saved_actions_[2] = {};
};

// The signal noted since the current scope began; 0 when none.
int ReceivedSignal();

// Raises 18 ("User interrupt occurred") once a signal has been noted.
void CheckInterrupt();

// What the tool's calls of the library are given: cancelled once a signal
// has been noted. The library asks it on the calling thread and from inside
// its database statements; a signal handler only sets the flag it reads.
WorkOptions InterruptibleWork();

}  // namespace kelda::cli
