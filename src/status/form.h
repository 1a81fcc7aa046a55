// frmStatus: the model of the status window. It holds everything that a
// renderer shows — the texts, the visibility, picError's drawing state and
// the trace drawn so far — and the operations the training run uses. The
// fixed design (geometry, colours, fonts) is in status/layout.h.
//
// The trace is kept as the list of strokes drawn since the last Clear, so a
// renderer can repaint it at any time.
//
// Not thread-safe: a window belongs to the thread that created it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "status/layout.h"
#include "status/number_format.h"

namespace kelda::status {

// A point in picError's drawing scale: x in twips, y in units of 211.5 twips,
// both from the inner top left corner. Single precision, as the toolkit's
// drawing operations take them.
struct Point {
  float x;
  float y;

  friend bool operator==(const Point&, const Point&) = default;
};

// One drawing operation as it was made. A stroke whose ends coincide is a
// single point.
struct Stroke {
  Point from;
  Point to;
  Colour colour;

  bool IsPoint() const { return from == to; }
  friend bool operator==(const Stroke&, const Stroke&) = default;
};

class frmStatus {
 public:
  // The window in its design state: hidden, both text fields empty, nothing
  // drawn, drawing position (0, 0).
  frmStatus();

  frmStatus(const frmStatus&) = delete;
  frmStatus& operator=(const frmStatus&) = delete;

  // Visibility. Show() leaves a visible window visible. The component never
  // hides the window; only the user closes it, which MarkClosedByUser()
  // records: the window then counts as discarded and its owner replaces it
  // at the next use.
  void Show();
  bool Visible() const { return visible_; }
  void MarkClosedByUser();
  bool ClosedByUser() const { return closed_by_user_; }

  // Sets SSQBox to " RMS Error: " and ErrorSum in the pattern "##.##########".
  // Raises Error 6 for an infinite or NaN ErrorSum and leaves the text as it was.
  void SetErrorText(double ErrorSum);
  void SetErrorText(double ErrorSum, const NumberSeparators& separators);
  // Sets CycleBox to " Cycle " and CycleCount in the pattern "###,###".
  void SetCycleText(int32_t CycleCount);
  void SetCycleText(int32_t CycleCount, const NumberSeparators& separators);
  // Sets CycleBox to " Training Complete".
  void SetCompleteText();

  // The texts as the window shows them. A text set from a number is written
  // out when it is first read: a training run sets both for every example,
  // and most of them are replaced before anyone looks.
  const std::string& SSQBoxCaption() const;
  const std::string& CycleBoxCaption() const;

  // picError's inner height in its drawing units (H = 10).
  double InnerHeight() const;

  // Erases the trace (the grid and Label1 stay) and moves the drawing
  // position to (0, 0).
  void Clear();

  // Draws from `from` (or, for DrawLineTo, from the drawing position) to `to`
  // in `colour`, or in the foreground colour when none is given, and moves
  // the drawing position to `to`. Any coordinates are accepted; what lies
  // outside the inner surface is clipped when rendered.
  void DrawLine(Point from, Point to, std::optional<Colour> colour = std::nullopt);
  void DrawLineTo(Point to, std::optional<Colour> colour = std::nullopt);

  Point DrawingPosition() const { return position_; }
  // Not set by the design: the toolkit's default text colour, black, so that
  // strokes in it vanish against the black plot.
  Colour ForeColor() const { return fore_colour_; }
  // Every stroke since the last Clear, oldest first.
  const std::vector<Stroke>& Trace() const { return trace_; }

 private:
  bool visible_ = false;
  bool closed_by_user_ = false;
  // A caption and, while it waits to be written out, the number it shows
  // with the separators of the locale of the moment it was set.
  mutable std::string ssq_caption_;
  mutable std::string cycle_caption_;
  mutable std::optional<double> pending_error_;
  mutable std::optional<int32_t> pending_cycle_;
  NumberSeparators error_separators_;
  NumberSeparators cycle_separators_;
  Point position_{0.0f, 0.0f};
  Colour fore_colour_ = kBlack;
  std::vector<Stroke> trace_;
};

}  // namespace kelda::status
