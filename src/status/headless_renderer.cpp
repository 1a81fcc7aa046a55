#include "status/headless_renderer.h"

namespace kelda::status {

void HeadlessRenderer::Present(const frmStatus& form) {
  ++presents_;
  screen_ = Frame{form.Visible(), form.SSQBoxCaption(), form.CycleBoxCaption(), form.Trace()};
}

void HeadlessRenderer::PumpOnce() { ++pumps_; }

bool HeadlessRenderer::ConsumeUserClose() {
  const bool closed = close_pending_;
  close_pending_ = false;
  return closed;
}

void HeadlessRenderer::CloseByUser() {
  if (!screen_ || !screen_->visible) return;
  screen_.reset();
  close_pending_ = true;
}

}  // namespace kelda::status
