#include "status/form.h"

namespace kelda::status {

frmStatus::frmStatus()
    : ssq_caption_(kSSQBox.design_caption), cycle_caption_(kCycleBox.design_caption) {}

void frmStatus::Show() { visible_ = true; }

void frmStatus::MarkClosedByUser() {
  closed_by_user_ = true;
  visible_ = false;
}

void frmStatus::SetErrorText(double ErrorSum) { SetErrorText(ErrorSum, CurrentSeparators()); }

void frmStatus::SetErrorText(double ErrorSum, const NumberSeparators& separators) {
  ssq_caption_ = " RMS Error: " + FormatOptionalPlaces(ErrorSum, kErrorSumPlaces, separators);
}

void frmStatus::SetCycleText(int32_t CycleCount) { SetCycleText(CycleCount, CurrentSeparators()); }

void frmStatus::SetCycleText(int32_t CycleCount, const NumberSeparators& separators) {
  cycle_caption_ = " Cycle " + FormatGrouped(CycleCount, separators);
}

void frmStatus::SetCompleteText() { cycle_caption_ = " Training Complete"; }

double frmStatus::InnerHeight() const {
  return kPicError.InnerHeight() / kPicError.twips_per_unit_y;
}

void frmStatus::Clear() {
  trace_.clear();
  position_ = {0.0f, 0.0f};
}

void frmStatus::DrawLine(Point from, Point to, std::optional<Colour> colour) {
  trace_.push_back({from, to, colour.value_or(fore_colour_)});
  position_ = to;
}

void frmStatus::DrawLineTo(Point to, std::optional<Colour> colour) {
  DrawLine(position_, to, colour);
}

}  // namespace kelda::status
