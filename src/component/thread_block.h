// The per-thread block: everything the Network objects of one thread share —
// the network with its learning parameters, the database engine, the status
// window and the message-loop hook. Each thread that uses the component has
// exactly one, created on first use; objects on different threads never see
// each other's.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "data/database.h"
#include "engine/network_state.h"
#include "status/status_window.h"
#include "training/training_run.h"

namespace kelda {

struct ThreadBlock {
  ThreadBlock() = default;
  ThreadBlock(const ThreadBlock&) = delete;
  ThreadBlock& operator=(const ThreadBlock&) = delete;

  // The calling thread's database engine, created on first use.
  data::DBEngine& DBEngine() {
    if (!db_engine) db_engine.emplace();
    return *db_engine;
  }

  engine::NetworkState network;
  std::optional<data::DBEngine> db_engine;
  status::StatusWindow status{status::NewPlatformRenderer()};
  // Supplied by the host's message loop (a terminal display, a window
  // toolkit); without one a yield does nothing.
  training::YieldHook yield;
  training::YieldUse yield_use = training::YieldUse::kMayWriteDatabase;
  // Where the thread's run in progress stands; read by the yield hook.
  training::RunProgress progress;

  // What is working on the network now ("RunNetwork", "InputRelevance"),
  // nullptr when nothing is. Host code runs inside such a call only at a
  // run's yields; see NetworkInUse.
  const char* in_use = nullptr;
  // A Network was created while the network was in use: the reset of the
  // learning parameters that creation makes waits until the use ends, so
  // that it does not change the run under way.
  bool reset_pending = false;
  // The fields of the object whose RunNetwork last started on the thread
  // (a failed run counts: it may have replaced the weights); nullptr before
  // any. Only compared, never followed: an object created later at the same
  // address has set-up fields only once a run of its own has set this.
  const training::ObjectFields* trained_by = nullptr;
};

// The calling thread's block.
ThreadBlock& ThisThread();

// Raises Error(kErrInvalidOperation) when the thread's network is in use,
// that is when host code run at a yield of a training run calls `call` (a
// method that would work on the network: a second run, a relevance
// analysis). The description names both calls.
void RefuseWhileInUse(const ThreadBlock& block, std::string_view call);

// Marks the thread's network as in use by `call` for one scope, and applies
// the reset of the learning parameters deferred meanwhile when the scope
// ends (however it ends).
//
// REQUIRES: the network is not in use (RefuseWhileInUse raises otherwise).
class NetworkInUse {
 public:
  NetworkInUse(ThreadBlock& block, const char* call);
  ~NetworkInUse();
  NetworkInUse(const NetworkInUse&) = delete;
  NetworkInUse& operator=(const NetworkInUse&) = delete;

 private:
  ThreadBlock& block_;
};

}  // namespace kelda
