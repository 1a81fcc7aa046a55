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
  // and takes over texts, visibility and trace. `form` is only read during
  // the call. Raises Error when the toolkit fails to create or show it.
  virtual void Present(const frmStatus& form) = 0;

  // The yield: processes the thread's pending messages once (repaints, the
  // host's own windows) and returns.
  virtual void PumpOnce() = 0;

  // True once for every close of the on-screen window by the user since the
  // last call; the on-screen window is gone by then.
  virtual bool ConsumeUserClose() = 0;
};

// The renderer of the toolkit this build was configured for.
std::unique_ptr<Renderer> NewPlatformRenderer();

}  // namespace kelda::status
