#include "training/prediction.h"

#include <charconv>

#include "base/checked.h"
#include "engine/engine.h"
#include "training/run_setup.h"
#include "training/training_table.h"

namespace kelda::training {
namespace {

// Input unit k + 1 takes value(k), the input of column k as read.
template <class Read>
void Load(engine::NetworkState& net, ObjectFields& fields, int count, int withheld, Read value) {
  for (int j = 0; j < count; ++j) {
    fields.FieldValue = value(j);
    fields.FieldValue = ScaleInput(fields, j + 1, fields.FieldValue);
    net.Activation(j + 1, 1) = j == withheld ? 0.0 : fields.FieldValue;
  }
}

}  // namespace

void LoadInputs(engine::NetworkState& net, ObjectFields& fields, const data::Recordset& source,
                int count, int withheld) {
  Load(net, fields, count, withheld, [&source](int j) { return source.Fields(j).GetNumber(); });
}

void LoadInputs(engine::NetworkState& net, ObjectFields& fields, const data::Recordset& source,
                std::span<const int> columns) {
  Load(net, fields, static_cast<int>(columns.size()), -1, [&source, columns](int j) {
    return source.Fields(columns[static_cast<size_t>(j)]).GetNumber();
  });
}

void LoadInputs(engine::NetworkState& net, ObjectFields& fields, std::span<const double> raw,
                int withheld) {
  Load(net, fields, static_cast<int>(raw.size()), withheld,
       [raw](int j) { return raw[static_cast<size_t>(j)]; });
}

double StoredPrediction(double v) {
  if (v >= 0.1) return v;
  // The four-decimal text, made with '.' whatever the locale, read back: so
  // the stored number is exactly the one the text denotes.
  char text[400];  // fixed notation of any double fits
  const auto written = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 4);
  double rounded = 0.0;
  std::from_chars(text, written.ptr, rounded);
  return rounded == 0.0 ? 0.0 : rounded;  // no digit in the text: 0, never -0
}

PredictionWriter::PredictionWriter(data::Database& db, data::Recordset& cursor,
                                   std::shared_ptr<const data::RowIds> keys,
                                   std::optional<std::chrono::milliseconds> window)
    : db_(db), cursor_(cursor), keys_(std::move(keys)), actual_(cursor.Fields("Actual").Index()) {
  if (window) db_.GroupUpdates(*window);
}

void PredictionWriter::Store(const engine::NetworkState& net, const ObjectFields& fields,
                             size_t row) {
  const Value v(StoredPrediction(UnscaleOutput(fields, net.Activation(1, 3))));
  if (keys_) {
    last_ = cursor_.UpdateRow((*keys_)[row], actual_, v);
    last_by_key_ = true;
    return;
  }
  // The cursor's row by its key, when it has one: the same row and the same
  // checks as an edit of the row, without the edit's bookkeeping.
  if (const std::optional<int64_t> key = cursor_.RowId()) {
    last_ = cursor_.UpdateRow(*key, actual_, v);
    last_by_key_ = true;
    return;
  }
  last_by_key_ = false;
  cursor_.Edit();
  cursor_.Fields(actual_).SetValue(v);
  cursor_.Update();
}

Value PredictionWriter::LastStored() const {
  return last_by_key_ ? last_ : cursor_.Fields(actual_).GetValue();
}

void PredictionWriter::Commit() { db_.CommitUpdates(); }

bool WritePredictions(data::DBEngine& engine, engine::NetworkState& net, ObjectFields& fields) {
  if (fields.MSAccessDBName.empty()) return false;
  data::Database db = OpenRunDatabase(engine, fields);
  data::Recordset cursor = db.OpenRecordset(fields.MSAccessTableName);
  // Committed in groups: nothing hands control to the host before the end,
  // and thousands of rows take a moment instead of a commit each. On an
  // error the rows stored so far are committed as the database closes.
  PredictionWriter writer(db, cursor, nullptr, engine.CommitWindow());
  const int inputs = fields.InputColumnCount();
  for (int32_t r = 1; r <= fields.RowCount(); ++r) {
    LoadInputs(net, fields, cursor, inputs);
    engine::ForwardPass(net);
    writer.Store(net, fields, static_cast<size_t>(r - 1));
    cursor.MoveNext();
  }
  writer.Commit();
  return true;
}

}  // namespace kelda::training
