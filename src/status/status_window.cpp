#include "status/status_window.h"

#include <utility>

namespace kelda::status {

StatusWindow::StatusWindow(std::unique_ptr<Renderer> renderer) : renderer_(std::move(renderer)) {}

StatusWindow::~StatusWindow() = default;

void StatusWindow::NoteUserClose() {
  if (renderer_->ConsumeUserClose() && form_) form_->MarkClosedByUser();
}

frmStatus& StatusWindow::Form() {
  NoteUserClose();
  if (!form_ || form_->ClosedByUser()) form_.emplace();
  return *form_;
}

void StatusWindow::Show() {
  frmStatus& form = Form();
  form.Show();
  renderer_->Present(form);
}

void StatusWindow::Yield(const std::function<void()>& before_messages) {
  NoteUserClose();
  if (form_ && !form_->ClosedByUser()) renderer_->Present(*form_);
  if (before_messages && renderer_->MessagesWaiting()) before_messages();
  renderer_->PumpOnce();
  NoteUserClose();
}

bool StatusWindow::OnScreen() const { return renderer_->OnScreen(); }

void StatusWindow::WaitUntilClosed() {
  renderer_->WaitForUserClose();
  NoteUserClose();
}

}  // namespace kelda::status
