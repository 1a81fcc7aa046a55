// The calling thread's status window, as a host that draws its own progress
// or waits for the user needs it. (A picture of it: kelda/status_picture.h.)
#pragma once

#include <string>

namespace kelda {

// The window's two report texts as they stand, without their leading
// blanks: the cycle ("Cycle 10") and the error sum ("RMS Error: .0123").
struct StatusTexts {
  std::string cycle_text;
  std::string error_text;
  friend bool operator==(const StatusTexts&, const StatusTexts&) = default;
};

// The texts the thread's window shows now (an earlier run's, until a run
// shows its first report).
StatusTexts CurrentStatusTexts();

// Whether the thread's window is on a screen (ShowStatus found a display).
bool StatusWindowOnScreen();

// Returns once the user has closed the thread's window; at once when it is
// not on a screen.
void WaitForStatusWindowClosed();

}  // namespace kelda
