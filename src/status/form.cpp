#include "status/form.h"

#include <cmath>

#include "base/error.h"

namespace kelda::status {

frmStatus::frmStatus()
    : ssq_caption_(kSSQBox.design_caption), cycle_caption_(kCycleBox.design_caption) {}

void frmStatus::Show() { visible_ = true; }

void frmStatus::MarkClosedByUser() {
  closed_by_user_ = true;
  visible_ = false;
}

void frmStatus::SetErrorText(double ErrorSum) {
  // The one error the text can meet, raised as the text is set.
  if (!std::isfinite(ErrorSum)) Raise(kErrOverflow);
  ReadCurrentSeparators(error_separators_);
  pending_error_ = ErrorSum;
}

void frmStatus::SetErrorText(double ErrorSum, const NumberSeparators& separators) {
  ssq_caption_ = " RMS Error: " + FormatOptionalPlaces(ErrorSum, kErrorSumPlaces, separators);
  pending_error_.reset();
}

void frmStatus::SetCycleText(int32_t CycleCount) {
  ReadCurrentSeparators(cycle_separators_);
  pending_cycle_ = CycleCount;
}

void frmStatus::SetCycleText(int32_t CycleCount, const NumberSeparators& separators) {
  cycle_caption_ = " Cycle " + FormatGrouped(CycleCount, separators);
  pending_cycle_.reset();
}

void frmStatus::SetCompleteText() {
  cycle_caption_ = " Training Complete";
  pending_cycle_.reset();
}

const std::string& frmStatus::SSQBoxCaption() const {
  if (pending_error_) {
    ssq_caption_ =
        " RMS Error: " + FormatOptionalPlaces(*pending_error_, kErrorSumPlaces, error_separators_);
    pending_error_.reset();
  }
  return ssq_caption_;
}

const std::string& frmStatus::CycleBoxCaption() const {
  if (pending_cycle_) {
    cycle_caption_ = " Cycle " + FormatGrouped(*pending_cycle_, cycle_separators_);
    pending_cycle_.reset();
  }
  return cycle_caption_;
}

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
