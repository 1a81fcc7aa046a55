// kelda_predict(path, input1, input2, ...): a saved network's prediction for
// one row, as an SQL function. This part knows nothing of SQLite; the
// loadable extension (extension.cpp) hands it each call's arguments.
#pragma once

#include <sys/stat.h>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>

#include "base/value.h"
#include "component/network_file.h"

namespace kelda::sql {

inline constexpr const char* kFunctionName = "kelda_predict";

// The network of one file, as it stood when it was read, with the state it
// predicts in. Shared by the statements of one connection; PredictRow locks
// it, so that a connection used by several threads stays sound.
class LoadedNetwork {
 public:
  explicit LoadedNetwork(const SavedNetwork& network) : predictor_(network) {}

  // The number `kelda predict` stores for a row whose input columns hold
  // `inputs` (one per input column of the network, in the file's order).
  // Raises 5 when there are not as many inputs as input columns, 94 for a
  // Null input and 13 for one that is not a number (nor text that reads as
  // one), naming the argument; otherwise what Predict raises for the row.
  double PredictRow(std::span<const Value> inputs);

 private:
  std::mutex mutex_;
  RowPredictor predictor_;
};

// The networks one connection has read, by path: a file is read again only
// when what stands at its path has changed (another file, another size or
// modification time), never for each row. Not shared across connections.
class NetworkCache {
 public:
  // The network of the file at `path`. Raises as LoadNetworkFile does (53
  // for no file, 75 for one that cannot be read, 5 for one that is not a
  // network) and 5 for a network `kelda predict` refuses.
  std::shared_ptr<LoadedNetwork> Get(const std::string& path);

  // How many times a file has been read, for the tests.
  int Reads() const;

 private:
  struct Entry {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    std::shared_ptr<LoadedNetwork> network;
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  int reads_ = 0;
};

// The path argument: raises 94 for Null and 13 for anything but text.
std::string PathArgument(const Value& path);

// The SQL error text for `e`, as the tool prints it: "kelda: error N: text".
std::string ErrorText(const Error& e);

}  // namespace kelda::sql
