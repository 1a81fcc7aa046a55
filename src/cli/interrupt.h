// Stopping a command of the tool with SIGINT (Ctrl-C) or SIGTERM: the signal
// is only noted, and the work in progress notices it at its next yield or, in
// a database statement that never yields, within a few thousand of SQLite's
// steps. It then ends with error 18 like any other error, so every handle is
// released and every committed row stays as it was written.
#pragma once

#include "data/database.h"

namespace kelda::cli {

// While it lives, SIGINT and SIGTERM are noted instead of ending the process
// (a second signal of the same kind ends it as before), and every Database
// that `engine` opens stops its statements once one has arrived. The earlier
// signal dispositions and interrupt check come back when it is destroyed.
// One at a time per process. REQUIRES: `engine` outlives the object.
class InterruptScope {
 public:
  explicit InterruptScope(data::DBEngine& engine);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

// The signal noted since the current scope began; 0 when none.
int ReceivedSignal();

// Raises 18 ("User interrupt occurred") once a signal has been noted.
void CheckInterrupt();

}  // namespace kelda::cli
