#include "cli/progress.h"

#include <fmt/format.h>

#include <algorithm>

namespace kelda::cli {

namespace {

constexpr int kTerminalBarWidth = 24;
constexpr std::chrono::milliseconds kRedrawInterval{50};

}  // namespace

std::string FormatProgress(const ProgressSnapshot& s, int bar_width) {
  const int digits = static_cast<int>(fmt::format("{}", s.epochs).size());
  std::string line = fmt::format("epoch {:>{}}/{}", s.epoch, digits, s.epochs);
  if (bar_width > 0) {
    const double done =
        s.epochs > 0 ? std::clamp(static_cast<double>(s.epoch) / s.epochs, 0.0, 1.0) : 1.0;
    const int filled = static_cast<int>(done * bar_width);
    line += fmt::format(" [{}{}]", std::string(static_cast<std::size_t>(filled), '#'),
                        std::string(static_cast<std::size_t>(bar_width - filled), '.'));
  }
  if (!s.cycle_text.empty()) line += " " + s.cycle_text;
  if (!s.error_text.empty()) line += "  " + s.error_text;
  return line;
}

ProgressDisplay::ProgressDisplay(std::ostream& out, Style style) : out_(out), style_(style) {}

void ProgressDisplay::Draw(const ProgressSnapshot& s) {
  // Back to the line's start and clear what is left of a longer earlier line.
  out_ << '\r' << FormatProgress(s, kTerminalBarWidth) << "\x1b[K" << std::flush;
  line_open_ = true;
}

void ProgressDisplay::Update(const ProgressSnapshot& s) {
  if (style_ == Style::kTerminal) {
    const auto now = std::chrono::steady_clock::now();
    if (last_draw_ && now - *last_draw_ < kRedrawInterval) return;
    last_draw_ = now;
    Draw(s);
    return;
  }
  if (s.cycle_text.empty()) return;
  // A report epoch updates the texts once per example; the line for it is
  // written when the cycle text moves on, with the epoch's last error text.
  if (pending_ && pending_->cycle_text == s.cycle_text) {
    pending_->error_text = s.error_text;
    return;
  }
  if (pending_) out_ << FormatProgress(*pending_, 0) << '\n' << std::flush;
  pending_ = s;
}

void ProgressDisplay::Finish(const ProgressSnapshot& s) {
  if (style_ == Style::kTerminal) {
    Draw(s);
    out_ << '\n' << std::flush;
    line_open_ = false;
    return;
  }
  if (pending_ && pending_->cycle_text != s.cycle_text) {
    out_ << FormatProgress(*pending_, 0) << '\n';
  }
  pending_.reset();
  out_ << FormatProgress(s, 0) << '\n' << std::flush;
}

void ProgressDisplay::Abandon() {
  if (line_open_) out_ << '\n';
  // The last report a failed run made is still worth having in a log.
  if (pending_) out_ << FormatProgress(*pending_, 0) << '\n';
  out_ << std::flush;
  line_open_ = false;
  pending_.reset();
}

}  // namespace kelda::cli
