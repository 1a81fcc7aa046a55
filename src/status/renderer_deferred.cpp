// The status window on Linux desktops, for a process that has not needed
// the window toolkit yet: until a form is first presented visible this
// renderer is what the toolkit's renderer is before it has a window (no
// messages, nothing on screen), and from then on it is the toolkit's own,
// from the window module. Without the module the window exists as its model
// only, as where no display can be opened.
#include "status/renderer.h"
#include "status/window_module.h"

namespace kelda::status {

namespace {

class DeferredRenderer final : public Renderer {
 public:
  void Present(const frmStatus& form) override {
    if (!toolkit_) {
      if (!form.Visible()) return;
      const WindowModule* module = LoadWindowModule();
      if (module == nullptr || module->new_renderer == nullptr) return;
      toolkit_ = module->new_renderer();
    }
    toolkit_->Present(form);
  }
  void PumpOnce() override {
    if (toolkit_) toolkit_->PumpOnce();
  }
  bool MessagesWaiting() override { return toolkit_ && toolkit_->MessagesWaiting(); }
  bool ConsumeUserClose() override { return toolkit_ && toolkit_->ConsumeUserClose(); }
  bool OnScreen() const override { return toolkit_ && toolkit_->OnScreen(); }
  void WaitForUserClose() override {
    if (toolkit_) toolkit_->WaitForUserClose();
  }

 private:
  std::unique_ptr<Renderer> toolkit_;
};

}  // namespace

std::unique_ptr<Renderer> NewPlatformRenderer() { return std::make_unique<DeferredRenderer>(); }

}  // namespace kelda::status
