// The network file (kelda/network_file.h), and what the runtime's own code
// needs of it besides: a capture from the engine's state and a prediction
// with a database engine of the caller's choice.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "../../include/kelda/network_file.h"
#include "data/database.h"
#include "engine/network_state.h"
#include "training/object_fields.h"
#include "training/prediction.h"

namespace kelda {

// The network and column ranges of the last training run of `fields`, with
// `net` the network of the thread it ran on. Raises as CaptureNetwork of a
// Network does.
SavedNetwork CaptureNetwork(const engine::NetworkState& net, const training::ObjectFields& fields);

// A saved network set up to predict one row at a time, by the arithmetic of
// Predict (kelda/network_file.h), which runs every row through one of these.
// Holds a network state of its own: apart from the thread's, and used by one
// thread at a time.
class RowPredictor {
 public:
  // Raises Error(kErrBadNetworkFile) for a network Predict refuses before it
  // reads a row: one ValidateNetwork refuses, or one with an input column
  // named `Actual`, the column predictions are written to.
  explicit RowPredictor(const SavedNetwork& network);
  ~RowPredictor();
  RowPredictor(const RowPredictor&) = delete;
  RowPredictor& operator=(const RowPredictor&) = delete;

  const SavedNetwork& Network() const { return network_; }

  // The number Predict stores for a row whose input column k holds `raw[k]`
  // (as read, in the column's units). REQUIRES: raw.size() is the number of
  // input columns. Raises what Predict raises for the row: 6 / 11 where an
  // input cannot be scaled by its range or a unit overflows, 94 when the
  // target column held no value during training.
  double PredictRow(std::span<const double> raw);

  // Scales `raw` into the first raw.size() input units, as the row's first
  // columns are loaded, raising where one of them cannot be scaled. Lets a
  // caller that reads a row's values one by one raise, for a value it cannot
  // read, only after what Predict raises for the columns before it.
  void ScaleInputs(std::span<const double> raw);

  // Predict's own steps for a row of a table: loads the row's input columns
  // (`positions[k]` the field of input column k), runs the network, and
  // stores the prediction with `writer` as row `row`.
  void PredictInto(const data::Recordset& rows, std::span<const int> positions,
                   training::PredictionWriter& writer, std::size_t row);

 private:
  SavedNetwork network_;
  std::unique_ptr<engine::NetworkState> net_;  // large: on the heap
  std::unique_ptr<training::ObjectFields> ranges_;
};

// Predict (kelda/network_file.h) with `engine` as the database engine, as
// it stands: of `options`, only the cancel check, asked before each row, and
// the commit window are used here.
int64_t Predict(data::DBEngine& engine, const SavedNetwork& network, const std::string& db_path,
                const std::string& table, const WorkOptions& options = WorkOptions{});

}  // namespace kelda
