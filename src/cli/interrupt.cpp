#include "cli/interrupt.h"

#include <signal.h>

#include <kelda/error.h>

namespace kelda::cli {

namespace {

volatile sig_atomic_t g_signal = 0;

extern "C" void NoteSignal(int signo) { g_signal = signo; }

constexpr int kSignals[] = {SIGINT, SIGTERM};

}  // namespace

InterruptScope::InterruptScope() {
  g_signal = 0;
  struct sigaction action = {};
  action.sa_handler = NoteSignal;
  sigemptyset(&action.sa_mask);
  // Once noted, the signal gets its default action back: a user whose first
  // Ctrl-C is not answered quickly enough can still end the process.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &action, &saved_actions_[i]);
}

InterruptScope::~InterruptScope() {
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &saved_actions_[i], nullptr);
}

int ReceivedSignal() { return g_signal; }

void CheckInterrupt() {
  if (g_signal != 0) Raise(kErrUserInterrupt);
}

WorkOptions InterruptibleWork() {
  WorkOptions work;
  work.cancel = [] { return g_signal != 0; };
  return work;
}

}  // namespace kelda::cli
