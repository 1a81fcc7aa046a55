// Network: the runtime's one class. A host creates it, sets the four
// properties and calls the three methods. The object owns its properties and
// what a training run learns about its table; the network itself, the
// database engine and the status window belong to the calling thread and are
// shared by every Network of that thread (a second object on the thread
// trains the same network; an object on another thread never sees it).
//
// An object is used only on the thread that created it. Errors pass to the
// caller as kelda::Error with their number; nothing is rolled back.
//
// Host code that runs at a run's yields (a yield hook, a window's event
// handler) may call the component on the same thread but cannot change the
// run under way: RunNetwork and InputRelevance called there raise 3219, and
// an object created there resets the learning parameters only once the run
// has ended.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run_options.h"
#include "value.h"

namespace kelda {

namespace training {
struct ObjectFields;
}

// Raises 3219, naming `call` and the call in progress, when a RunNetwork or
// InputRelevance is in progress on the calling thread, that is when the
// caller is host code at one of its yields. For a host's own calls that would
// work on the network, so that the refusal comes before the host's own
// answers (as the component's methods refuse).
void RefuseWhileNetworkInUse(std::string_view call);

class Network {
 public:
  // Resets the thread's learning parameters to their defaults (the trained
  // weights stay); while a run is in progress on the thread, when it ends.
  // The properties start as "", "", 0 and 0.
  Network();
  ~Network();
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Plain stored values: a put stores the value unchanged, a get returns it.
  const std::string& MSAccessDBName() const;
  void SetMSAccessDBName(std::string path);
  const std::string& MSAccessTableName() const;
  void SetMSAccessTableName(std::string name);
  int32_t Epochs() const;
  void SetEpochs(int32_t epochs);
  // RunNetwork sets it to 20 when it is 0; the hidden layer has 20 units.
  int16_t HiddenLayerCount() const;
  void SetHiddenLayerCount(int16_t count);

  // Trains the thread's network on the table and writes every row's
  // prediction into its column `Actual` (added when missing). Raises 3219
  // when called while a run or relevance analysis is in progress on the
  // thread.
  void RunNetwork();
  // The same, with the seed, progress callback, cancel check and database
  // settings of `options` for this run only (see kelda/run_options.h). Ends
  // with 18 once options.cancel returns true; with the exception
  // options.progress threw, when it threw one.
  void RunNetwork(const RunOptions& options);

  // How this object's last RunNetwork ended, a failed one too: the number of
  // epochs it began, and whether the convergence test ended it before
  // Epochs(). 0 and false before any.
  int32_t EpochsRun() const;
  bool Converged() const;

  // Makes the thread's status window visible (creating it if needed).
  // Returns Empty.
  Value ShowStatus();

  // One score per input column of the last training run's table, in table
  // order; nullopt when no database is named. REQUIRES: a training run has
  // completed on this object, otherwise raises 9. Raises 3219 when called
  // while a run is in progress on the thread.
  std::optional<std::vector<double>> InputRelevance();
  // The same, with the cancel check and database settings of `options`.
  std::optional<std::vector<double>> InputRelevance(const WorkOptions& options);

  // The names of the input columns of the last training run's table, in
  // table order; empty before a run has named them.
  std::vector<std::string> InputColumnNames() const;

  // The object's fields, for the parts of the runtime that save and describe
  // a trained network. Their type is internal to the runtime.
  const training::ObjectFields& Fields() const;

 private:
  std::unique_ptr<training::ObjectFields> fields_;
  int32_t epochs_run_ = 0;
  bool converged_ = false;
};

}  // namespace kelda
