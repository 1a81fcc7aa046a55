#include <fmt/format.h>
#include <kelda/import.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "base/value.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "data/database.h"
#include "data/recordset.h"
#include "data/server_name.h"

namespace kelda {

namespace {

constexpr const char* kActual = "Actual";

// A value as a key that matches it exactly: a number by its bits (+0 for
// -0, which SQLite may store as the integer 0), a text or blob by its bytes.
void AppendKey(std::string& key, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::kNumber: {
      double v = value.number();
      if (v == 0.0) v = 0.0;
      key += 'n';
      key.append(reinterpret_cast<const char*>(&v), sizeof v);
      break;
    }
    case Value::Kind::kText:
      key += fmt::format("b{}:", value.text().size());
      key += value.text();
      break;
    case Value::Kind::kBlob:
      key += fmt::format("b{}:", value.blob().size());
      key.append(value.blob().begin(), value.blob().end());
      break;
    default:
      key += 'z';
  }
}

// The table `name` as a table's Recordset, or nullopt when there is none.
std::optional<data::Recordset> OpenTable(data::Database& db, const std::string& name) {
  try {
    return db.OpenRecordset(name);
  } catch (const Error& e) {
    if (e.Number() != kErrTableNotFound) throw;
    return std::nullopt;
  }
}

// A stored prediction of a row with a Null target, found by its inputs.
struct Candidate {
  std::optional<int64_t> rowid;
  std::optional<double> prediction;  // none when not a number
  bool used = false;
};

}  // namespace

std::optional<FitFigures> MeasureHoldout(const std::string& database, const std::string& table,
                                         const WorkOptions& work) {
  ScopedThreadSettings settings;
  settings.Apply(work);
  data::Database db = ThisThread().DBEngine().OpenDatabase(database);
  std::optional<data::Recordset> rows = OpenTable(db, table);
  std::optional<data::Recordset> held = OpenTable(db, HoldoutTableName(database, table));
  if (!rows || !held) return std::nullopt;

  // Only a side table in the layout import makes, for the table as it stands
  // (its inputs, its target, Actual last), is read as one: a table of the
  // same name made by anyone else gives no figures. A file's side table shows
  // its key, the row's rowid, as its first column; a server hides a table's
  // key from its Recordsets.
  const int columns = rows->FieldCount();
  if (columns < 3 || !data::SameName(rows->Fields(columns - 1).Name(), kActual)) {
    return std::nullopt;
  }
  const int inputs = columns - 2;
  const std::string target = rows->Fields(inputs).Name();
  const int first = data::IsServerName(database) ? 0 : 1;  // the side table's target
  if (held->FieldCount() != first + inputs + 1 ||
      !data::SameName(held->Fields(first).Name(), target)) {
    return std::nullopt;
  }
  for (int i = 0; i < inputs; ++i) {
    if (!data::SameName(held->Fields(first + 1 + i).Name(), rows->Fields(i).Name())) {
      return std::nullopt;
    }
  }

  // The rows that may be held out, by their inputs. A row's own key is
  // preferred, but only as a hint: a VACUUM may have renumbered the rows.
  std::unordered_map<std::string, std::vector<Candidate>> by_inputs;
  for (; !rows->IsEOF(); rows->MoveNext()) {
    if (!rows->Fields(inputs).GetValue().IsNull()) continue;
    std::string key;
    for (int i = 0; i < inputs; ++i) AppendKey(key, rows->Fields(i).GetValue());
    Candidate c;
    c.rowid = rows->RowId();
    const Value prediction = rows->Fields(columns - 1).GetValue();
    if (prediction.IsNumber()) c.prediction = prediction.number();
    by_inputs[key].push_back(c);
  }

  // In the side table's own order, which is its key's.
  std::vector<double> targets;
  std::vector<double> predictions;
  int64_t found = 0;
  bool numbers = true;
  for (; !held->IsEOF(); held->MoveNext()) {
    const std::optional<int64_t> place = held->RowId();
    if (first == 1) {
      // The key column import makes is the file's rowid itself (INTEGER
      // PRIMARY KEY): any other first column is someone else's table.
      const Value shown = held->Fields(0).GetValue();
      if (!place || !shown.IsNumber() || shown.number() != static_cast<double>(*place)) {
        return std::nullopt;
      }
    }
    std::string key;
    for (int i = 0; i < inputs; ++i) AppendKey(key, held->Fields(first + 1 + i).GetValue());
    const auto it = by_inputs.find(key);
    if (it == by_inputs.end()) continue;  // the row is gone, or its inputs changed
    Candidate* match = nullptr;
    for (Candidate& c : it->second) {
      if (c.used) continue;
      if (match == nullptr || (place && c.rowid == place)) match = &c;
      if (place && c.rowid == place) break;
    }
    if (match == nullptr) continue;
    match->used = true;
    ++found;
    const Value truth = held->Fields(first).GetValue();
    if (!truth.IsNumber() || !match->prediction) {
      numbers = false;
      continue;
    }
    targets.push_back(truth.number());
    predictions.push_back(*match->prediction);
  }
  FitFigures fit = MeasureFit(targets, predictions);
  if (!numbers) fit = FitFigures{};
  fit.examples = static_cast<int32_t>(found);
  return fit;
}

}  // namespace kelda
