#include "cli/interrupt.h"

#include <signal.h>

#include "base/error.h"

namespace kelda::cli {

namespace {

volatile sig_atomic_t g_signal = 0;

extern "C" void NoteSignal(int signo) { g_signal = signo; }

constexpr int kSignals[] = {SIGINT, SIGTERM};

struct Saved {
  struct sigaction actions[2];
  data::InterruptCheck check;
  data::DBEngine* engine = nullptr;
};

Saved g_saved;

}  // namespace

InterruptScope::InterruptScope(data::DBEngine& engine) {
  g_signal = 0;
  g_saved.engine = &engine;
  g_saved.check = engine.GetInterruptCheck();
  engine.SetInterruptCheck([] { return g_signal != 0; });
  struct sigaction action = {};
  action.sa_handler = NoteSignal;
  sigemptyset(&action.sa_mask);
  // Once noted, the signal gets its default action back: a user whose first
  // Ctrl-C is not answered quickly enough can still end the process.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &action, &g_saved.actions[i]);
}

InterruptScope::~InterruptScope() {
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &g_saved.actions[i], nullptr);
  g_saved.engine->SetInterruptCheck(std::move(g_saved.check));
  g_saved.engine = nullptr;
}

int ReceivedSignal() { return g_signal; }

void CheckInterrupt() {
  if (g_signal != 0) Raise(kErrUserInterrupt);
}

}  // namespace kelda::cli
