// A renderer without a screen: it records what it was given, so tests and
// windowless builds can follow the window, and lets a test play the user
// closing it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "status/renderer.h"

namespace kelda::status {

class HeadlessRenderer final : public Renderer {
 public:
  // What the screen would show after a Present.
  struct Frame {
    bool visible;
    std::string ssq_caption;
    std::string cycle_caption;
    std::vector<Stroke> trace;
  };

  HeadlessRenderer() = default;

  void Present(const frmStatus& form) override;
  void PumpOnce() override;
  bool MessagesWaiting() override { return false; }
  bool ConsumeUserClose() override;

  // The user closes the window, as if a close message had been processed.
  // Ignored when no window is on screen (none presented visible since the
  // last close).
  void CloseByUser();

  int presents() const { return presents_; }
  int pumps() const { return pumps_; }
  // The last frame presented since the last close; empty when none.
  const std::optional<Frame>& screen() const { return screen_; }

 private:
  int presents_ = 0;
  int pumps_ = 0;
  bool close_pending_ = false;
  std::optional<Frame> screen_;
};

}  // namespace kelda::status
