#include "relevance/input_relevance.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

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

namespace {

// The examples (the rows before the first Null target) as the cursor reads
// them: each one's inputs, target and rowid.
struct Examples {
  std::vector<double> inputs;  // row by row, one per input column
  std::vector<Value> targets;
  std::vector<int64_t> rowids;  // none for a table without rowid
};

Examples ReadExamples(data::Recordset& cursor, int columns, int32_t rows) {
  Examples ex;
  cursor.MoveFirst();
  for (int32_t r = 1; r <= rows; ++r) {
    Value target = cursor.Fields(columns).GetValue();
    if (target.IsNull()) break;
    for (int i = 0; i < columns; ++i) ex.inputs.push_back(cursor.Fields(i).GetNumber());
    ex.targets.push_back(std::move(target));
    if (const std::optional<int64_t> rowid = cursor.RowId()) ex.rowids.push_back(*rowid);
    cursor.MoveNext();
  }
  return ex;
}

}  // namespace

std::optional<std::vector<double>> InputRelevance(data::DBEngine& engine, engine::NetworkState& net,
                                                  training::ObjectFields& fields) {
  if (fields.MSAccessDBName.empty()) return std::nullopt;
  data::Database db = training::OpenRunDatabase(engine, fields);
  data::Recordset cursor = db.OpenRecordset(fields.MSAccessTableName);

  const int16_t n = Narrow<int16_t>(fields.InputColumnCount());
  CheckedArray<double> relevance;
  CheckedArray<double> reference_level;
  relevance.Redim(n - 1);
  reference_level.Redim(n - 1);

  // The examples are read once, and again only after another program has
  // changed the file: the passes see what reading every pass would.
  Examples ex = ReadExamples(cursor, n, fields.RowCount());
  uint64_t version = db.DataVersion();
  const auto row = [&ex, n](size_t r) {
    return std::span<const double>(ex.inputs).subspan(r * static_cast<size_t>(n),
                                                      static_cast<size_t>(n));
  };
  // Each column's sum in row order, as a pass per column would add it up.
  for (size_t r = 0; r < ex.targets.size(); ++r) {
    for (int i = 0; i < n; ++i) {
      reference_level(i) = Finite(reference_level(i) + row(r)[static_cast<size_t>(i)]);
    }
  }
  for (int i = 0; i < n; ++i) reference_level(i) = Div(reference_level(i), n);

  // The scores' predictions are committed in groups, as the final ones
  // are; the last group before the final write-back, which writes through
  // a database of its own. By key the rows need not be read again to be
  // written; a table without keys is written row by row through the cursor.
  std::optional<training::PredictionWriter> writer;
  for (int i = 0; i < n; ++i) {
    const bool changed = db.DataVersion() != version;
    if (changed) {
      ex = ReadExamples(cursor, n, fields.RowCount());
      version = db.DataVersion();
    }
    const bool keyed = ex.rowids.size() == ex.targets.size();
    if (!writer || changed) {
      if (writer) writer->Commit();
      writer.emplace(db, cursor,
                     keyed ? std::make_shared<const std::vector<int64_t>>(ex.rowids) : nullptr,
                     engine.CommitWindow());
    }
    if (!keyed) cursor.MoveFirst();
    for (size_t r = 0; r < ex.targets.size(); ++r) {
      training::LoadInputs(net, fields, row(r), i);
      engine::ForwardPass(net);
      writer->Store(net, fields, r);
      const double a = writer->LastStored().ToDouble();
      if (!keyed) cursor.MoveNext();
      const double t = ex.targets[r].ToDouble();
      relevance(i) = Finite(relevance(i) + RowScore(reference_level(i), a, t));
    }
  }

  if (writer) writer->Commit();
  training::WritePredictions(engine, net, fields);

  std::vector<double> result;
  for (int i = 0; i < n; ++i) result.push_back(relevance(i));
  return result;
}

}  // namespace kelda::relevance
