// The network file: a trained network with the scaling ranges and column
// names it was trained with, kept as JSON so that another process can predict
// with it later. Every number is written so that it reads back as the same
// double, which lets a prediction from the file reproduce the prediction the
// training run stored, to the last bit.
//
//   {"format": "kelda-network", "version": 1,
//    "layer_units": [n1, n2, n3],
//    "input_layer": [n1 activations of the input layer],
//    "hidden": {"bias": [n2], "temperature": [n2], "weight": [n1 x [n2]]},
//    "output": {"bias": [n3], "temperature": [n3], "weight": [n2 x [n3]]},
//    "inputs": [{"name": ..., "min": ..., "max": ...}, n1 - 1 of them],
//    "target": {"name": ..., "min": number or null, "max": number or null}}
//
// The input layer has one unit more than the table has input columns; that
// last unit is never loaded from a row, so its value is part of the network.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "network.h"
#include "run_options.h"

namespace kelda {

// What the network file's errors mean. The description names the file and
// what is wrong with it.
inline constexpr int32_t kErrBadNetworkFile = kErrInvalidArgument;    // not a valid network
inline constexpr int32_t kErrNetworkFileNotFound = kErrFileNotFound;  // no file at that path
inline constexpr int32_t kErrNetworkFileAccess = kErrPathFileAccess;  // cannot be read or written

inline constexpr std::string_view kNetworkFileFormat = "kelda-network";
inline constexpr int kNetworkFileVersion = 1;

// The trained units of one layer. weight[i][j] is the weight from unit i + 1
// of the layer below to unit j + 1 of this layer.
struct LayerParameters {
  std::vector<double> bias;
  std::vector<double> temperature;
  std::vector<std::vector<double>> weight;
};

// An input column: its name and the range its values were scaled with.
struct InputColumn {
  std::string name;
  double min = 0.0;
  double max = 0.0;
};

// The target column; the range is absent when the column held no value.
struct TargetColumn {
  std::string name;
  std::optional<double> min;
  std::optional<double> max;
};

struct SavedNetwork {
  std::array<int, 3> layer_units{};  // input, hidden, output
  std::vector<double> input_layer;
  LayerParameters hidden;
  LayerParameters output;
  std::vector<InputColumn> inputs;  // in table order
  TargetColumn target;
};

// Raises Error(kErrBadNetworkFile) naming `origin` when `network` is not one
// that can be saved or predicted with: layer sizes outside 1..20, arrays that
// do not match them, an input layer that is not one unit larger than the
// input columns, a number that is not finite, an empty name, or two columns
// of the same name (compared ignoring ASCII case, as table columns are).
void ValidateNetwork(const SavedNetwork& network, std::string_view origin);

// The network and column ranges of the last training run of `network`, with
// the calling thread's trained network. Raises 9 when no training run has
// set up `network`, and Error(kErrBadNetworkFile) when the run did not leave
// a network that can be saved (see ValidateNetwork). Raises 3219 when
// another object's RunNetwork has started on the thread since this object's
// (a failed one too): the file would hold this object's names and ranges with
// that object's weights.
SavedNetwork CaptureNetwork(const Network& network);

// The JSON text of a valid network (validated first).
std::string NetworkToJson(const SavedNetwork& network);

// Reads and validates a network from JSON text; `origin` names the text in
// error descriptions. Raises Error(kErrBadNetworkFile) for anything but a
// valid network of this format and version. Keys the format does not know
// are ignored.
SavedNetwork NetworkFromJson(std::string_view text, std::string_view origin);

// Writes the network to `path` as a whole: the file is replaced only once the
// new text is completely written, so a failure never leaves a damaged file.
// Raises kErrBadNetworkFile for an invalid network, kErrNetworkFileAccess when
// the file cannot be written.
void SaveNetworkFile(const SavedNetwork& network, const std::string& path);

// Reads a network file. Raises kErrNetworkFileNotFound when there is no file,
// kErrNetworkFileAccess when it cannot be read, kErrBadNetworkFile for its
// content (and for a file far larger than any network, which is not read).
SavedNetwork LoadNetworkFile(const std::string& path);

// Writes the network's prediction for every row of `table` in the database
// at `db_path` into the row's column `Actual` (appended as a double column
// when the table has none), stored as a training run stores it. Input columns
// are found by name, wherever they stand in the table, and scaled with the
// network's ranges. Works with the calling thread's database engine and a
// network state of its own: the thread's trained network is not touched.
// Returns the number of rows written.
//
// Raises the database's errors (3024 no file, 3078 no table, ...), 3265 when
// an input column of the network is missing from the table, kErrBadNetworkFile
// when an input column is the table's `Actual`, and the run-time errors of a
// training run's write-back: 94 / 13 for a Null / non-numeric input, 94 when
// the target range is absent, 6 for an overflow. Rows written before an
// error keep their new values.
int64_t Predict(const SavedNetwork& network, const std::string& db_path, const std::string& table);
// The same, with the cancel check (asked before each row too) and database
// settings of `options`. Without a commit window each row is committed as it
// is written, as above.
int64_t Predict(const SavedNetwork& network, const std::string& db_path, const std::string& table,
                const WorkOptions& options);

}  // namespace kelda
