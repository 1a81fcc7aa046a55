// Renderer: puts a frmStatus on the screen. One implementation per window
// toolkit, chosen at build time, plus a headless one that only records (see
// status/headless_renderer.h). The model is the single source of what is
// drawn: a renderer keeps no contents of its own beyond what it needs to
// repaint from the model it was last given.
#pragma once

#include <memory>

#include "status/form.h"

namespace kelda::status {

class Renderer {
 public:
  Renderer() = default;
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;
  // Destroys the on-screen window, if any.
  virtual ~Renderer() = default;

  // Brings the on-screen window in line with `form`: creates it (at the
  // toolkit's default position) when `form` is visible and there is none,
  // and takes over texts, visibility and trace. Raises Error when the
  // toolkit fails to create or show it.
  //
  // While the window it created exists, a renderer may read `form` again
  // whenever the thread processes messages, so that changes made after the
  // last yield (the completion text, set as a run returns) reach the screen
  // through the host's own message loop. The caller keeps `form` alive, at
  // the same address, until the window is gone or the renderer destroyed.
  virtual void Present(const frmStatus& form) = 0;

  // The yield: processes the thread's pending messages once (repaints, the
  // host's own windows) and returns.
  virtual void PumpOnce() = 0;

  // Whether the next PumpOnce may run code other than this renderer's own:
  // messages wait for the thread (the host's windows, its timers, a send
  // from another thread). Looks without dispatching anything.
  virtual bool MessagesWaiting() = 0;

  // True once for every close of the on-screen window by the user since the
  // last call; the on-screen window is gone by then.
  virtual bool ConsumeUserClose() = 0;

  // Whether a window is on a screen the user can see. A renderer without a
  // screen (no display, or a thread that may not use the toolkit) never has
  // one.
  virtual bool OnScreen() const { return false; }

  // Processes the thread's messages, waiting for them, until the user has
  // closed the on-screen window; returns at once when there is none.
  virtual void WaitForUserClose() {}
};

// The renderer of the toolkit this build was configured for.
//
// GTK (Linux desktops): GTK is initialised once per process, by the first
// thread that has a window to show, and only then; the process's locale is
// left as the host set it. GTK may only be used from the thread that
// initialised it (normally the main thread), so windows appear for that
// thread alone. On any other thread, or where no display can be opened, the
// window exists only as its model: everything works, nothing is shown, and
// OnScreen() stays false. The yield processes GTK's pending events once GTK
// has been initialised here.
std::unique_ptr<Renderer> NewPlatformRenderer();

}  // namespace kelda::status
