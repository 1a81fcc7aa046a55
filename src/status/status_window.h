// StatusWindow: the slot for a thread's status window, owned by the
// component's per-thread block. It creates the frmStatus on first use,
// hidden, and replaces a window the user has closed by a fresh one in its
// design state at the next use; it never closes or hides the window itself.
//
// Not thread-safe: one per thread, touched only by that thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "status/form.h"
#include "status/renderer.h"

namespace kelda::status {

class StatusWindow {
 public:
  // REQUIRES: renderer != nullptr.
  explicit StatusWindow(std::unique_ptr<Renderer> renderer);
  StatusWindow(const StatusWindow&) = delete;
  StatusWindow& operator=(const StatusWindow&) = delete;
  ~StatusWindow();

  // The thread's window, created hidden in its design state when there is
  // none or the user has closed the last one. The reference stays valid as
  // long as this StatusWindow; a window closed meanwhile is replaced in place
  // by the next call, so a caller must not keep it across a Yield().
  frmStatus& Form();

  // ShowStatus: creates the window if needed, makes it visible and puts it on
  // screen at once. Changes no text and no drawing. Raises the renderer's
  // Error when the toolkit fails.
  void Show();

  // The training run's yield: puts the window's current state on screen (if
  // there is a window), processes the thread's pending messages once, and
  // takes note of a close by the user. Texts set between two yields appear at
  // the next one. `before_messages` (if any) runs first when messages are
  // waiting, that is when the host's own code may run during the yield.
  void Yield(const std::function<void()>& before_messages = nullptr);

  // Whether the window is on a screen the user sees: false while it is
  // hidden, once the user has closed it, and always where there is no screen
  // to show it on (see NewPlatformRenderer).
  bool OnScreen() const;

  // For a program whose run is over: processes the thread's messages until
  // the user closes the window on screen, which is then discarded like any
  // window the user closes. Returns at once when none is on screen.
  void WaitUntilClosed();

 private:
  // Marks the window closed if the user closed it since the last look.
  void NoteUserClose();

  std::unique_ptr<Renderer> renderer_;
  // Replaced in place, so it keeps the address the renderer may read it at.
  std::optional<frmStatus> form_;
};

}  // namespace kelda::status
