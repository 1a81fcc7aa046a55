// Network: the component's one class. A host creates it, sets the four
// properties and calls the three methods. The object owns its properties and
// what a training run learns about its table; the network itself, the
// database engine and the status window belong to the calling thread's block
// and are shared by every Network of that thread.
//
// An object is used only on the thread that created it. Errors pass to the
// caller as kelda::Error with their number; nothing is rolled back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/value.h"
#include "training/object_fields.h"

namespace kelda {

class Network {
 public:
  // Resets the thread's learning parameters to their defaults (the trained
  // weights stay).
  Network();
  ~Network() = default;
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Plain stored values: a put stores the value unchanged, a get returns it.
  const std::string& MSAccessDBName() const { return fields_.MSAccessDBName; }
  void SetMSAccessDBName(std::string path) { fields_.MSAccessDBName = std::move(path); }
  const std::string& MSAccessTableName() const { return fields_.MSAccessTableName; }
  void SetMSAccessTableName(std::string name) { fields_.MSAccessTableName = std::move(name); }
  int32_t Epochs() const { return fields_.Epochs; }
  void SetEpochs(int32_t epochs) { fields_.Epochs = epochs; }
  // RunNetwork sets it to 20 when it is 0; the hidden layer has 20 units.
  int16_t HiddenLayerCount() const { return fields_.HiddenLayerCount; }
  void SetHiddenLayerCount(int16_t count) { fields_.HiddenLayerCount = count; }

  // Trains the thread's network on the table and writes every row's
  // prediction into its column `Actual` (added when missing).
  void RunNetwork();

  // Makes the thread's status window visible (creating it if needed).
  // Returns Empty.
  Value ShowStatus();

  // One score per input column of the last training run's table, in table
  // order; nullopt (Empty) when no database is named. REQUIRES: a training
  // run has completed on this object, otherwise raises 9.
  std::optional<std::vector<double>> InputRelevance();

  // The object's fields, for the tool and the automation server that save
  // and describe a trained network.
  const training::ObjectFields& Fields() const { return fields_; }

 private:
  training::ObjectFields fields_;
};

}  // namespace kelda
