#include "relevance/input_relevance.h"

#include <cmath>

#include "base/checked.h"
#include "base/checked_array.h"
#include "engine/engine.h"
#include "training/prediction.h"
#include "training/run_setup.h"
#include "training/training_table.h"

namespace kelda::relevance {

double RowScore(double reference_level, double a, double t) {
  if (reference_level < a) return t < a ? Finite(std::fabs(Finite(a - t))) : 0.0;
  return t > a ? Finite(std::fabs(Finite(a - t))) : 0.0;
}

std::optional<std::vector<double>> InputRelevance(data::DBEngine& engine, engine::NetworkState& net,
                                                  training::ObjectFields& fields) {
  if (fields.MSAccessDBName.empty()) return std::nullopt;
  data::Database db = training::OpenRunDatabase(engine, fields);
  // One cursor serves for the inputs, the target and the stored prediction:
  // the target is not among the fields written, so it reads as the row was
  // when the cursor reached it.
  data::Recordset cursor = db.OpenRecordset(fields.MSAccessTableName);

  const int16_t n = Narrow<int16_t>(fields.InputColumnCount());
  CheckedArray<double> relevance;
  CheckedArray<double> reference_level;
  relevance.Redim(n - 1);
  reference_level.Redim(n - 1);

  // Every column's sum in one pass: each is added up in row order, as a
  // pass per column would.
  cursor.MoveFirst();
  for (int32_t r = 1; r <= fields.RowCount(); ++r) {
    if (cursor.Fields(n).GetValue().IsNull()) break;
    for (int i = 0; i < n; ++i) {
      reference_level(i) = Finite(reference_level(i) + cursor.Fields(i).GetValue().ToDouble());
    }
    cursor.MoveNext();
  }
  for (int i = 0; i < n; ++i) reference_level(i) = Div(reference_level(i), n);

  // The scores' predictions are committed in groups, as the final ones
  // are; the last group before the final write-back, which writes through
  // a database of its own.
  db.GroupUpdates(engine.CommitWindow());
  for (int i = 0; i < n; ++i) {
    cursor.MoveFirst();
    for (int32_t r = 1; r <= fields.RowCount(); ++r) {
      if (cursor.Fields(n).GetValue().IsNull()) break;
      training::LoadInputs(net, fields, cursor, n, i);
      engine::ForwardPass(net);
      training::StorePrediction(net, fields, cursor);
      const double a = cursor.Fields("Actual").GetValue().ToDouble();
      const double t = cursor.Fields(n).GetValue().ToDouble();
      relevance(i) = Finite(relevance(i) + RowScore(reference_level(i), a, t));
      cursor.MoveNext();
    }
  }

  db.CommitUpdates();
  training::WritePredictions(engine, net, fields);

  std::vector<double> result;
  for (int i = 0; i < n; ++i) result.push_back(relevance(i));
  return result;
}

}  // namespace kelda::relevance
