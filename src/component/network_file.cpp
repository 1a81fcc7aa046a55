#include "component/network_file.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/error.h"
#include "base/sibling_file.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "engine/engine.h"
#include "training/prediction.h"
#include "training/run_setup.h"

namespace kelda {

namespace {

using Json = nlohmann::ordered_json;

// A network of 20 x 20 units with long column names stays far below this; a
// larger file is not worth reading into memory.
constexpr std::uintmax_t kMaxFileBytes = 16u << 20;

[[noreturn]] void Bad(std::string_view origin, const std::string& problem) {
  Raise(kErrBadNetworkFile, fmt::format("{}: {}", origin, problem));
}

void CheckFinite(std::string_view origin, const std::string& where, double v) {
  if (!std::isfinite(v)) Bad(origin, fmt::format("{} is not a finite number", where));
}

void CheckNumbers(std::string_view origin, const std::string& where, const std::vector<double>& v,
                  std::size_t expected, std::string_view per) {
  if (v.size() != expected) {
    Bad(origin,
        fmt::format("{} has {} numbers, expected {} (one per {})", where, v.size(), expected, per));
  }
  for (std::size_t i = 0; i < v.size(); ++i) {
    CheckFinite(origin, fmt::format("{}[{}]", where, i), v[i]);
  }
}

void CheckLayer(std::string_view origin, std::string_view name, const LayerParameters& layer,
                int units, int below) {
  const auto n = static_cast<std::size_t>(units);
  CheckNumbers(origin, fmt::format("{}.bias", name), layer.bias, n, "unit");
  CheckNumbers(origin, fmt::format("{}.temperature", name), layer.temperature, n, "unit");
  if (layer.weight.size() != static_cast<std::size_t>(below)) {
    Bad(origin, fmt::format("{}.weight has {} rows, expected {} (one per unit of the layer below)",
                            name, layer.weight.size(), below));
  }
  for (std::size_t i = 0; i < layer.weight.size(); ++i) {
    CheckNumbers(origin, fmt::format("{}.weight[{}]", name, i), layer.weight[i], n, "unit");
  }
}

void CheckName(std::string_view origin, const std::string& where, const std::string& name) {
  if (name.empty()) Bad(origin, fmt::format("{} is empty", where));
}

}  // namespace

void ValidateNetwork(const SavedNetwork& network, std::string_view origin) {
  static constexpr const char* kLayerNames[] = {"input", "hidden", "output"};
  for (int l = 0; l < 3; ++l) {
    const int units = network.layer_units[static_cast<std::size_t>(l)];
    if (units < 1 || units > engine::kMaxUnit) {
      Bad(origin, fmt::format("the {} layer has {} units; a layer has 1 to {}", kLayerNames[l],
                              units, engine::kMaxUnit));
    }
  }
  const int n1 = network.layer_units[0];
  const int n2 = network.layer_units[1];
  const int n3 = network.layer_units[2];
  CheckNumbers(origin, "input_layer", network.input_layer, static_cast<std::size_t>(n1), "unit");
  CheckLayer(origin, "hidden", network.hidden, n2, n1);
  CheckLayer(origin, "output", network.output, n3, n2);

  if (network.inputs.size() + 1 != static_cast<std::size_t>(n1)) {
    Bad(origin, fmt::format("{} input columns for an input layer of {} units (expected {})",
                            network.inputs.size(), n1, n1 - 1));
  }
  for (std::size_t k = 0; k < network.inputs.size(); ++k) {
    const InputColumn& column = network.inputs[k];
    CheckName(origin, fmt::format("inputs[{}].name", k), column.name);
    CheckFinite(origin, fmt::format("inputs[{}].min", k), column.min);
    CheckFinite(origin, fmt::format("inputs[{}].max", k), column.max);
    for (std::size_t m = 0; m < k; ++m) {
      if (data::SameName(network.inputs[m].name, column.name)) {
        Bad(origin, fmt::format("the input column '{}' is named twice", column.name));
      }
    }
  }
  CheckName(origin, "target.name", network.target.name);
  for (const InputColumn& column : network.inputs) {
    if (data::SameName(column.name, network.target.name)) {
      Bad(origin, fmt::format("'{}' is named as an input and as the target", column.name));
    }
  }
  if (network.target.min) CheckFinite(origin, "target.min", *network.target.min);
  if (network.target.max) CheckFinite(origin, "target.max", *network.target.max);
}

SavedNetwork CaptureNetwork(const engine::NetworkState& net, const training::ObjectFields& fields) {
  if (!fields.InputNames.IsDimensioned() || !fields.InputMin.IsDimensioned() ||
      !fields.InputMax.IsDimensioned() || !fields.TargetMin.IsDimensioned() ||
      !fields.TargetMax.IsDimensioned() || !fields.TargetRecordset) {
    Raise(kErrSubscript, StandardErrorText(kErrSubscript) +
                             " (no training run has set up this network: nothing to save)");
  }
  constexpr std::string_view kOrigin = "the trained network";
  SavedNetwork saved;
  for (int l = 1; l <= 3; ++l) {
    const int units = net.LayerUnits(l);
    if (units < 1 || units > engine::kMaxUnit) {
      Bad(kOrigin, fmt::format("layer {} has {} units; a network file holds 1 to {}", l, units,
                               engine::kMaxUnit));
    }
    saved.layer_units[static_cast<std::size_t>(l - 1)] = units;
  }
  const int n1 = saved.layer_units[0];
  for (int k = 1; k <= n1; ++k) saved.input_layer.push_back(net.Activation(k, 1));

  auto capture_layer = [&net](int layer, int units, int below) {
    LayerParameters p;
    for (int j = 1; j <= units; ++j) {
      p.bias.push_back(net.Bias(j, layer));
      p.temperature.push_back(net.Temperature(j, layer));
    }
    for (int i = 1; i <= below; ++i) {
      std::vector<double>& row = p.weight.emplace_back();
      for (int j = 1; j <= units; ++j) row.push_back(net.Weight(i, j, layer));
    }
    return p;
  };
  saved.hidden = capture_layer(2, saved.layer_units[1], n1);
  saved.output = capture_layer(3, saved.layer_units[2], saved.layer_units[1]);

  const int32_t input_columns = fields.InputColumnCount();
  for (int32_t i = 0; i < input_columns; ++i) {
    const Value& name = fields.InputNames(i);
    saved.inputs.push_back(InputColumn{name.IsText() ? name.text() : "", fields.InputMin(i + 1),
                                       fields.InputMax(i + 1)});
  }
  // The run's target cursor selects exactly the target column, by its name.
  saved.target.name = fields.TargetRecordset->Fields(0).Name();
  auto range = [&](const Value& v, const char* which) -> std::optional<double> {
    if (v.IsNull()) return std::nullopt;
    if (!v.IsNumber()) {
      Bad(kOrigin, fmt::format("the target column's {} is {}, not a number", which, v.Describe()));
    }
    return v.number();
  };
  saved.target.min = range(fields.TargetMin(1), "minimum");
  saved.target.max = range(fields.TargetMax(1), "maximum");

  ValidateNetwork(saved, kOrigin);
  return saved;
}

SavedNetwork CaptureNetwork(const Network& network) {
  // The ranges and names are the object's, the weights the thread's: saved
  // after another object's run, they would make a file of neither network.
  if (network.Fields().InputNames.IsDimensioned() && ThisThread().trained_by != &network.Fields()) {
    Raise(kErrInvalidOperation,
          StandardErrorText(kErrInvalidOperation) +
              ": another Network has run on this thread since this one trained, and the "
              "thread's network is now that one's; run this Network again before saving it");
  }
  return CaptureNetwork(ThisThread().network, network.Fields());
}

namespace {

std::string Compact(const Json& j) { return j.dump(); }

std::string LayerJson(const LayerParameters& layer) {
  std::string out = "{\n    \"bias\": " + Compact(layer.bias) +
                    ",\n    \"temperature\": " + Compact(layer.temperature) +
                    ",\n    \"weight\": [";
  for (std::size_t i = 0; i < layer.weight.size(); ++i) {
    out += (i == 0 ? "\n      " : ",\n      ") + Compact(layer.weight[i]);
  }
  return out + "\n    ]\n  }";
}

Json RangeValue(const std::optional<double>& v) { return v ? Json(*v) : Json(nullptr); }

}  // namespace

std::string NetworkToJson(const SavedNetwork& network) {
  ValidateNetwork(network, "the network to save");
  // One array per line keeps a file of some hundred numbers readable; every
  // number is written in the shortest form that reads back to the same double.
  std::string out = "{\n  \"format\": " + Compact(std::string(kNetworkFileFormat)) +
                    ",\n  \"version\": " + Compact(kNetworkFileVersion) +
                    ",\n  \"layer_units\": " + Compact(network.layer_units) +
                    ",\n  \"input_layer\": " + Compact(network.input_layer) +
                    ",\n  \"hidden\": " + LayerJson(network.hidden) +
                    ",\n  \"output\": " + LayerJson(network.output) + ",\n  \"inputs\": [";
  try {
    for (std::size_t k = 0; k < network.inputs.size(); ++k) {
      const InputColumn& c = network.inputs[k];
      const Json column = {{"name", c.name}, {"min", c.min}, {"max", c.max}};
      out += (k == 0 ? "\n    " : ",\n    ") + Compact(column);
    }
    const Json target = {{"name", network.target.name},
                         {"min", RangeValue(network.target.min)},
                         {"max", RangeValue(network.target.max)}};
    out += "\n  ],\n  \"target\": " + Compact(target) + "\n}\n";
  } catch (const Json::type_error&) {
    // The only text the writer refuses is a name that is not UTF-8.
    Bad("the network to save", "a column name is not valid UTF-8 text");
  }
  return out;
}

namespace {

// Reads the parts of a parsed document, naming the part in every complaint.
class DocumentReader {
 public:
  explicit DocumentReader(std::string_view origin) : origin_(origin) {}

  const Json& Member(const Json& object, const std::string& where, const char* key) const {
    const auto it = object.find(key);
    if (it == object.end()) Bad(origin_, fmt::format("{} is missing", Join(where, key)));
    return *it;
  }

  const Json& Object(const Json& v, const std::string& where) const {
    if (!v.is_object()) Bad(origin_, fmt::format("{} is not an object", Name(where)));
    return v;
  }

  const Json& Array(const Json& v, const std::string& where) const {
    if (!v.is_array()) Bad(origin_, fmt::format("{} is not an array", where));
    return v;
  }

  double Number(const Json& v, const std::string& where) const {
    if (!v.is_number()) Bad(origin_, fmt::format("{} is not a number", where));
    return v.get<double>();
  }

  std::optional<double> NumberOrNull(const Json& v, const std::string& where) const {
    if (v.is_null()) return std::nullopt;
    if (!v.is_number()) Bad(origin_, fmt::format("{} is neither a number nor null", where));
    return v.get<double>();
  }

  std::vector<double> Numbers(const Json& v, const std::string& where) const {
    Array(v, where);
    std::vector<double> out;
    for (std::size_t i = 0; i < v.size(); ++i) {
      out.push_back(Number(v[i], fmt::format("{}[{}]", where, i)));
    }
    return out;
  }

  std::string Text(const Json& v, const std::string& where) const {
    if (!v.is_string()) Bad(origin_, fmt::format("{} is not a string", where));
    return v.get<std::string>();
  }

  // An integer in lo .. hi (lo >= 0), checked before it is narrowed.
  int Integer(const Json& v, const std::string& where, int lo, int hi) const {
    if (!v.is_number_integer()) Bad(origin_, fmt::format("{} is not an integer", where));
    const bool in_range = v.is_number_unsigned()
                              ? v.get<std::uint64_t>() >= static_cast<std::uint64_t>(lo) &&
                                    v.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi)
                              : v.get<std::int64_t>() >= lo && v.get<std::int64_t>() <= hi;
    if (!in_range) {
      Bad(origin_, fmt::format("{} is {}, expected {} to {}", where, v.dump(), lo, hi));
    }
    return static_cast<int>(v.get<std::int64_t>());
  }

  static std::string Join(const std::string& where, const char* key) {
    return where.empty() ? key : where + "." + key;
  }

 private:
  static std::string Name(const std::string& where) {
    return where.empty() ? "the document" : where;
  }
  std::string_view origin_;
};

LayerParameters ReadLayer(const DocumentReader& r, const Json& doc, const char* name) {
  const Json& layer = r.Object(r.Member(doc, "", name), name);
  LayerParameters p;
  const std::string where(name);
  p.bias = r.Numbers(r.Member(layer, where, "bias"), where + ".bias");
  p.temperature = r.Numbers(r.Member(layer, where, "temperature"), where + ".temperature");
  const Json& weight = r.Array(r.Member(layer, where, "weight"), where + ".weight");
  for (std::size_t i = 0; i < weight.size(); ++i) {
    p.weight.push_back(r.Numbers(weight[i], fmt::format("{}.weight[{}]", where, i)));
  }
  return p;
}

}  // namespace

SavedNetwork NetworkFromJson(std::string_view text, std::string_view origin) {
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::parse_error& e) {
    Bad(origin, fmt::format("not valid JSON (at byte {})", e.byte));
  } catch (const Json::out_of_range&) {
    // The parser's only range error: a number such as 1e400.
    Bad(origin, "holds a number beyond the range of a double");
  }
  const DocumentReader r(origin);
  r.Object(doc, "");

  const Json& format = r.Member(doc, "", "format");
  if (!format.is_string() || format.get<std::string>() != kNetworkFileFormat) {
    Bad(origin, fmt::format("format is {}, expected \"{}\"", format.dump(), kNetworkFileFormat));
  }
  const Json& version = r.Member(doc, "", "version");
  if (!version.is_number_integer() || version != kNetworkFileVersion) {
    Bad(origin, fmt::format("version {} is not supported (this program reads version {})",
                            version.dump(), kNetworkFileVersion));
  }

  SavedNetwork network;
  const Json& units = r.Array(r.Member(doc, "", "layer_units"), "layer_units");
  if (units.size() != 3) {
    Bad(origin, fmt::format("layer_units has {} entries, expected 3", units.size()));
  }
  for (std::size_t l = 0; l < 3; ++l) {
    network.layer_units[l] =
        r.Integer(units[l], fmt::format("layer_units[{}]", l), 1, engine::kMaxUnit);
  }
  network.input_layer = r.Numbers(r.Member(doc, "", "input_layer"), "input_layer");
  network.hidden = ReadLayer(r, doc, "hidden");
  network.output = ReadLayer(r, doc, "output");

  const Json& inputs = r.Array(r.Member(doc, "", "inputs"), "inputs");
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    const std::string where = fmt::format("inputs[{}]", k);
    const Json& column = r.Object(inputs[k], where);
    network.inputs.push_back(InputColumn{
        r.Text(r.Member(column, where, "name"), where + ".name"),
        r.Number(r.Member(column, where, "min"), where + ".min"),
        r.Number(r.Member(column, where, "max"), where + ".max"),
    });
  }
  const Json& target = r.Object(r.Member(doc, "", "target"), "target");
  network.target.name = r.Text(r.Member(target, "target", "name"), "target.name");
  network.target.min = r.NumberOrNull(r.Member(target, "target", "min"), "target.min");
  network.target.max = r.NumberOrNull(r.Member(target, "target", "max"), "target.max");

  ValidateNetwork(network, origin);
  return network;
}

namespace {

std::string FileOrigin(const std::string& path) { return fmt::format("network file '{}'", path); }

[[noreturn]] void AccessError(const std::string& path, std::string_view what, int error) {
  Raise(kErrNetworkFileAccess,
        fmt::format("{}: cannot {} network file '{}': {}", StandardErrorText(kErrPathFileAccess),
                    what, path, std::generic_category().message(error)));
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

void SaveNetworkFile(const SavedNetwork& network, const std::string& path) {
  const std::error_code error = ReplaceFileContents(path, NetworkToJson(network));
  if (error) AccessError(path, "write", error.value());
}

SavedNetwork LoadNetworkFile(const std::string& path) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    Raise(kErrNetworkFileNotFound,
          fmt::format("{}: network file '{}'", StandardErrorText(kErrFileNotFound), path));
  }
  if (ec) AccessError(path, "read", ec.value());
  if (status.type() != std::filesystem::file_type::regular) {
    Raise(kErrNetworkFileAccess, fmt::format("{}: network file '{}' is not a regular file",
                                             StandardErrorText(kErrPathFileAccess), path));
  }
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) AccessError(path, "read", ec.value());
  if (size > kMaxFileBytes) {
    Bad(FileOrigin(path), fmt::format("{} bytes, far more than any network takes", size));
  }

  File f(std::fopen(path.c_str(), "rb"));
  if (!f) AccessError(path, "read", errno);
  std::string text;
  char buffer[8192];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
    text.append(buffer, n);
    if (text.size() > kMaxFileBytes) Bad(FileOrigin(path), "far more than any network takes");
  }
  if (std::ferror(f.get())) AccessError(path, "read", errno);
  return NetworkFromJson(text, FileOrigin(path));
}

namespace {

// Puts the saved layers into a network state of its own.
void Install(const SavedNetwork& network, engine::NetworkState& net) {
  for (int l = 1; l <= 3; ++l) {
    net.LayerUnits(l) = static_cast<int16_t>(network.layer_units[static_cast<std::size_t>(l - 1)]);
  }
  for (std::size_t k = 0; k < network.input_layer.size(); ++k) {
    net.Activation(static_cast<int>(k) + 1, 1) = network.input_layer[k];
  }
  auto install_layer = [&net](int layer, const LayerParameters& p) {
    for (std::size_t j = 0; j < p.bias.size(); ++j) {
      net.Bias(static_cast<int>(j) + 1, layer) = p.bias[j];
      net.Temperature(static_cast<int>(j) + 1, layer) = p.temperature[j];
    }
    for (std::size_t i = 0; i < p.weight.size(); ++i) {
      for (std::size_t j = 0; j < p.weight[i].size(); ++j) {
        net.Weight(static_cast<int>(i) + 1, static_cast<int>(j) + 1, layer) = p.weight[i][j];
      }
    }
  };
  install_layer(2, network.hidden);
  install_layer(3, network.output);
}

// The ranges in the places where the run's scaling rules read them, so that
// a prediction is computed by the very same arithmetic as in training.
void InstallRanges(const SavedNetwork& network, training::ObjectFields& fields) {
  const auto n = static_cast<int32_t>(network.inputs.size());
  fields.InputMin.Redim(n);
  fields.InputMax.Redim(n);
  for (int32_t k = 0; k < n; ++k) {
    fields.InputMin(k + 1) = network.inputs[static_cast<std::size_t>(k)].min;
    fields.InputMax(k + 1) = network.inputs[static_cast<std::size_t>(k)].max;
  }
  fields.TargetMin.Redim(1);
  fields.TargetMax.Redim(1);
  fields.TargetMin(1) = network.target.min ? Value(*network.target.min) : Value::Null();
  fields.TargetMax(1) = network.target.max ? Value(*network.target.max) : Value::Null();
}

constexpr const char* kOutputColumn = "Actual";

// The position of each input column in `rows`, found by name.
std::vector<int> FindInputColumns(const data::Recordset& rows, const SavedNetwork& network,
                                  const std::string& table) {
  std::vector<int> positions;
  for (const InputColumn& column : network.inputs) {
    int found = -1;
    for (int i = 0; i < rows.FieldCount() && found < 0; ++i) {
      if (data::SameName(rows.Fields(i).Name(), column.name)) found = i;
    }
    if (found < 0) {
      Raise(kErrItemNotFound,
            fmt::format("Item not found in this collection: table '{}' has no column '{}', an "
                        "input of the network",
                        table, column.name));
    }
    positions.push_back(found);
  }
  return positions;
}

bool HasColumn(const data::Recordset& rows, std::string_view name) {
  for (int i = 0; i < rows.FieldCount(); ++i) {
    if (data::SameName(rows.Fields(i).Name(), name)) return true;
  }
  return false;
}

}  // namespace

RowPredictor::RowPredictor(const SavedNetwork& network) : network_(network) {
  ValidateNetwork(network_, "the network");
  for (const InputColumn& column : network_.inputs) {
    if (data::SameName(column.name, kOutputColumn)) {
      Bad("the network", fmt::format("its input column '{}' is the column predictions are "
                                     "written to",
                                     column.name));
    }
  }
  net_ = std::make_unique<engine::NetworkState>();
  engine::ClassInitialize(*net_);
  Install(network_, *net_);
  ranges_ = std::make_unique<training::ObjectFields>();
  InstallRanges(network_, *ranges_);
}

RowPredictor::~RowPredictor() = default;

double RowPredictor::PredictRow(std::span<const double> raw) {
  training::LoadInputs(*net_, *ranges_, raw, -1);
  engine::ForwardPass(*net_);
  // What PredictionWriter::Store writes into the row.
  return training::StoredPrediction(training::UnscaleOutput(*ranges_, net_->Activation(1, 3)));
}

void RowPredictor::ScaleInputs(std::span<const double> raw) {
  training::LoadInputs(*net_, *ranges_, raw, -1);
}

void RowPredictor::PredictInto(const data::Recordset& rows, std::span<const int> positions,
                               training::PredictionWriter& writer, std::size_t row) {
  training::LoadInputs(*net_, *ranges_, rows, positions);
  engine::ForwardPass(*net_);
  writer.Store(*net_, *ranges_, row);
}

int64_t Predict(data::DBEngine& engine, const SavedNetwork& network, const std::string& db_path,
                const std::string& table, const WorkOptions& options) {
  RowPredictor predictor(network);

  data::Database db = engine.OpenDatabase(db_path);
  std::optional<data::Recordset> rows = db.OpenRecordset(table);
  // Checked before the table is changed: a missing input leaves it as it was.
  FindInputColumns(*rows, network, table);
  if (!HasColumn(*rows, kOutputColumn)) {
    rows.reset();
    db.TableDefs(table).Fields().Append(data::FieldDef{kOutputColumn, data::kDbDouble});
    rows = db.OpenRecordset(table);
  }
  // Each prediction goes to the row the scan read, by its rowid: a VACUUM by
  // another program meanwhile renumbers the rows, so the database holds the
  // schema version they are read under and stops with 3197 when it changes.
  const uint32_t version = rows->SchemaVersion();
  rows.reset();
  db.FixRows(table, nullptr, version);
  rows = db.OpenRecordset(table);
  const std::vector<int> positions = FindInputColumns(*rows, network, table);

  // Each row is committed as it is written, unless the caller asked for
  // groups.
  std::optional<std::chrono::milliseconds> window;
  if (options.commit_window)
    window = std::max(*options.commit_window, std::chrono::milliseconds{0});
  training::PredictionWriter writer(db, *rows, nullptr, window);
  int64_t written = 0;
  for (; !rows->IsEOF(); rows->MoveNext()) {
    // A row's statements are too short for the database's own check to be
    // asked reliably.
    RaiseIfCancelled(options);
    predictor.PredictInto(*rows, positions, writer, static_cast<size_t>(written));
    ++written;
  }
  writer.Commit();
  return written;
}

int64_t Predict(const SavedNetwork& network, const std::string& db_path, const std::string& table) {
  return Predict(ThisThread().DBEngine(), network, db_path, table);
}

int64_t Predict(const SavedNetwork& network, const std::string& db_path, const std::string& table,
                const WorkOptions& options) {
  ScopedThreadSettings settings;
  settings.Apply(options);
  return Predict(ThisThread().DBEngine(), network, db_path, table, options);
}

}  // namespace kelda
