#include "relevance/write_back.h"

#include <charconv>

#include "base/checked.h"
#include "data/run_setup.h"
#include "data/training_table.h"
#include "engine/engine.h"

namespace kelda::relevance {

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

void StorePrediction(const engine::NetworkState& net, const data::ObjectFields& fields,
                     data::Recordset& cursor) {
  const double v = data::UnscaleOutput(fields, net.Activation(1, 3));
  cursor.Edit();
  cursor.Fields("Actual").SetValue(Value(StoredPrediction(v)));
  cursor.Update();
}

bool WritePredictions(data::DBEngine& engine, engine::NetworkState& net,
                      data::ObjectFields& fields) {
  if (fields.MSAccessDBName.empty()) return false;
  data::Database db = data::OpenRunDatabase(engine, fields);
  data::Recordset cursor = db.OpenRecordset(fields.MSAccessTableName);
  const int inputs = CheckedSub<int32_t>(fields.InputNames.UBound(), 2);
  for (int32_t r = 1; r <= fields.RecordCount - 1; ++r) {
    data::LoadInputs(net, fields, cursor, inputs);
    engine::ForwardPass(net);
    StorePrediction(net, fields, cursor);
    cursor.MoveNext();
  }
  return true;
}

}  // namespace kelda::relevance
