#include "sql/predict_function.h"

#include <fmt/format.h>

#include <cerrno>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/error.h"

namespace kelda::sql {

namespace {

std::string ArgumentName(const SavedNetwork& network, std::size_t k) {
  return fmt::format("argument {} of {}, input column '{}'", k + 2, kFunctionName,
                     network.inputs[k].name);
}

std::string InputList(const SavedNetwork& network) {
  std::string names;
  for (const InputColumn& column : network.inputs) {
    names += (names.empty() ? "" : ", ") + column.name;
  }
  return names;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

double LoadedNetwork::PredictRow(std::span<const Value> inputs) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const SavedNetwork& network = predictor_.Network();
  if (inputs.size() != network.inputs.size()) {
    Raise(kErrInvalidArgument,
          fmt::format("{}: {} takes the network file and {} input values ({}), not {}",
                      StandardErrorText(kErrInvalidArgument), kFunctionName, network.inputs.size(),
                      InputList(network), inputs.size()));
  }
  std::vector<double> raw;
  raw.reserve(inputs.size());
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    try {
      raw.push_back(inputs[k].ToDouble());
    } catch (const Error& e) {
      // A table's row is read and scaled column by column: what the columns
      // before this one raise comes first, as it does for `kelda predict`.
      predictor_.ScaleInputs(raw);
      Raise(e.Number(), fmt::format("{} ({} is {})", e.Description(), ArgumentName(network, k),
                                    inputs[k].IsNull() ? "Null" : "not a number"));
    }
  }
  return predictor_.PredictRow(raw);
}

std::shared_ptr<LoadedNetwork> NetworkCache::Get(const std::string& path) {
  const std::lock_guard<std::mutex> lock(mutex_);
  struct stat now {};
  const bool found = ::stat(path.c_str(), &now) == 0;
  if (found) {
    const auto it = entries_.find(path);
    if (it != entries_.end() && it->second.device == now.st_dev && it->second.inode == now.st_ino &&
        it->second.size == now.st_size && SameTime(it->second.modified, now.st_mtim)) {
      return it->second.network;
    }
  }
  // A missing or unreadable file is reported by the loader, in its words.
  entries_.erase(path);
  ++reads_;
  auto network = std::make_shared<LoadedNetwork>(LoadNetworkFile(path));
  if (found) {
    entries_[path] = Entry{now.st_dev, now.st_ino, now.st_size, now.st_mtim, network};
  }
  return network;
}

int NetworkCache::Reads() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

std::string PathArgument(const Value& path) {
  if (path.IsNull()) {
    Raise(kErrInvalidUseOfNull,
          fmt::format("{} (argument 1 of {}, the network file, is Null)",
                      StandardErrorText(kErrInvalidUseOfNull), kFunctionName));
  }
  if (!path.IsText()) {
    Raise(kErrTypeMismatch,
          fmt::format("{} (argument 1 of {}, the network file, is {}, not a path)",
                      StandardErrorText(kErrTypeMismatch), kFunctionName, path.Describe()));
  }
  return path.text();
}

std::string ErrorText(const Error& e) {
  return fmt::format("kelda: error {}: {}", e.Number(), e.Description());
}

}  // namespace kelda::sql
