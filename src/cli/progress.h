// The progress display of a training run: one line redrawn in place on a
// terminal, or, into a file or pipe, one plain line per status report so that
// a log grows by a few dozen lines rather than one per yield.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace kelda::cli {

// What the display shows: the epoch begun last of how many, and the status
// window's cycle and error texts (without their leading blanks).
struct ProgressSnapshot {
  int32_t epoch = 0;
  int32_t epochs = 0;
  std::string cycle_text;
  std::string error_text;

  friend bool operator==(const ProgressSnapshot&, const ProgressSnapshot&) = default;
};

// "epoch   12/500 [##......] Cycle 10  RMS Error: .0123", the bar `bar_width`
// characters wide (none when 0). Epoch counts of 0 or less show a full bar.
std::string FormatProgress(const ProgressSnapshot& s, int bar_width);

class ProgressDisplay {
 public:
  enum class Style { kTerminal, kLines };

  // Writes to `out`, which must outlive the display.
  ProgressDisplay(std::ostream& out, Style style);

  // At every yield of the run. On a terminal the line is redrawn at most
  // every 50 ms; as plain lines, a report is written once the run has moved
  // on to the next one, with the last error text it showed.
  void Update(const ProgressSnapshot& s);

  // After the run has ended: the final state, ending the line.
  void Finish(const ProgressSnapshot& s);

  // After the run failed: ends a half-drawn terminal line so that a message
  // that follows starts on a line of its own, or writes the pending report.
  void Abandon();

 private:
  void Draw(const ProgressSnapshot& s);

  std::ostream& out_;
  Style style_;
  bool line_open_ = false;
  std::optional<std::chrono::steady_clock::time_point> last_draw_;
  std::optional<ProgressSnapshot> pending_;
};

}  // namespace kelda::cli
