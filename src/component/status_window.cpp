#include "../../include/kelda/status_window.h"

#include "component/thread_block.h"

namespace kelda {

namespace {

// The window right-aligns its texts with leading blanks.
std::string TrimLeft(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

}  // namespace

StatusTexts CurrentStatusTexts() {
  status::frmStatus& form = ThisThread().status.Form();
  return StatusTexts{TrimLeft(form.CycleBoxCaption()), TrimLeft(form.SSQBoxCaption())};
}

bool StatusWindowOnScreen() { return ThisThread().status.OnScreen(); }

void WaitForStatusWindowClosed() {
  status::StatusWindow& window = ThisThread().status;
  if (window.OnScreen()) window.WaitUntilClosed();
}

}  // namespace kelda
