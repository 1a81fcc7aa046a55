#include "training/run_setup.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "base/checked.h"
#include "base/error.h"
#include "engine/engine.h"

namespace kelda::training {

void PrepareRun(engine::NetworkState& net, ObjectFields& fields) {
  // Initialised before the parameters below are set, so the first run after
  // an object is created starts at temperature 5 and a later one at 2.
  engine::InitWeights(net);
  net.ReportInterval = 10;
  if (fields.HiddenLayerCount == 0) fields.HiddenLayerCount = 20;

  const int32_t n = fields.RecordCount;
  // Sized by the row count, which nothing has held against the limit of the
  // run yet: a table of some hundred million rows asks for more memory than
  // there is, and that is the runtime's error, not a crash of the host.
  try {
    fields.InputMax.Redim(n);
    fields.InputMin.Redim(n);
    fields.TargetMax.Redim(n);
    fields.TargetMin.Redim(n);
  } catch (const std::bad_alloc&) {
    Raise(kErrOutOfMemory, StandardErrorText(kErrOutOfMemory) + " (scaling ranges for " +
                               std::to_string(n - 1) + " rows)");
  }
  for (int32_t i = 0; i < n; ++i) {
    fields.InputMax(i) = 0.0;
    fields.InputMin(i) = 0.0;
    fields.TargetMax(i) = Value(0.0);
    fields.TargetMin(i) = Value(0.0);
  }

  net.LearningRate = 0.15f;
  net.Momentum = 0.9f;
  net.HiddenUnits = 20.0f;
  net.InitialTemperature = 2.0f;
}

std::string MinQuery(const std::string& column, const std::string& alias,
                     const std::string& table) {
  return "SELECT MIN(" + data::SqlName(column) + ") AS " + alias + " FROM " + data::SqlName(table);
}

std::string MaxQuery(const std::string& column, const std::string& alias,
                     const std::string& table) {
  return "SELECT MAX(" + data::SqlName(column) + ") AS " + alias + " FROM " + data::SqlName(table);
}

namespace {

Value Aggregate(data::Database& db, data::ColumnQuery::Kind kind, const std::string& column,
                const char* alias, const std::string& table) {
  const std::string sql = kind == data::ColumnQuery::Kind::kMin ? MinQuery(column, alias, table)
                                                                : MaxQuery(column, alias, table);
  data::Recordset rs = db.OpenColumns({kind, table, {column}, alias, sql});
  return rs.Fields(alias).GetValue();
}

// The least and greatest value of a column, as numbers. SQL orders text after
// every number and text by its characters ('10' before '9'), so when either
// aggregate comes back as text the column is read value by value and each
// value converted as the rows themselves are read: 13 for text that is not a
// number.
std::pair<Value, Value> Range(data::Database& db, const std::string& column, const char* min_alias,
                              const char* max_alias, const std::string& table) {
  Value lo = Aggregate(db, data::ColumnQuery::Kind::kMin, column, min_alias, table);
  Value hi = Aggregate(db, data::ColumnQuery::Kind::kMax, column, max_alias, table);
  if (!lo.IsText() && !hi.IsText()) return {std::move(lo), std::move(hi)};
  lo = Value::Null();
  hi = Value::Null();
  data::Recordset rs =
      db.OpenColumns({data::ColumnQuery::Kind::kRows,
                      table,
                      {column},
                      {},
                      "SELECT " + data::SqlName(column) + " FROM " + data::SqlName(table)});
  for (; !rs.IsEOF(); rs.MoveNext()) {
    const Value v = rs.Fields(0).GetValue();
    if (v.IsNull()) continue;
    const double x = v.ToDouble();
    if (lo.IsNull() || x < lo.number()) lo = Value(x);
    if (hi.IsNull() || x > hi.number()) hi = Value(x);
  }
  return {std::move(lo), std::move(hi)};
}

}  // namespace

void QueryRanges(data::Database& db, ObjectFields& fields, const std::string& target_name) {
  const std::string& table = fields.MSAccessTableName;
  const int32_t last_input = fields.InputColumnCount() - 1;
  for (int32_t i = 0; i <= last_input; ++i) {
    const std::string name = fields.InputNames(i).IsText() ? fields.InputNames(i).text() : "";
    const auto [min, max] = Range(db, name, "Min1", "Max1", table);
    fields.InputMin(i + 1) = min.ToDouble();
    fields.InputMax(i + 1) = max.ToDouble();
  }
  auto [min, max] = Range(db, target_name, "OutMin", "OutMax", table);
  fields.TargetMin(1) = std::move(min);
  fields.TargetMax(1) = std::move(max);
}

void SizeNetwork(engine::NetworkState& net, const ObjectFields& fields, int field_count) {
  net.InputUnits = Narrow<int16_t>(CheckedSub<int32_t>(field_count, 1));
  net.PatternEnd = Narrow<int16_t>(fields.RecordCount);
  net.OutputUnits = 1;
  net.LayerUnits(1) = net.InputUnits;
  net.LayerUnits(2) = std::min<int16_t>(RoundToInt<int16_t>(net.HiddenUnits), 20);
  net.LayerUnits(3) = net.OutputUnits;
  net.OutputSpan = net.OutputHigh - net.OutputLow;
}

double ScaleInput(const ObjectFields& fields, int j, double x) {
  const double min = fields.InputMin(j);
  const double d = Finite(fields.InputMax(j) - min);
  return Div(Finite(x - min), d);
}

double UnscaleOutput(const ObjectFields& fields, double y) {
  const double min = fields.TargetMin(1).ToDouble();
  const double d = Finite(fields.TargetMax(1).ToDouble() - min);
  return Finite(Finite(d * y) + min);
}

}  // namespace kelda::training
