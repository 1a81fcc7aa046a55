// The per-thread block: everything the Network objects of one thread share —
// the network with its learning parameters, the database engine, the status
// window and the message-loop hook. Each thread that uses the component has
// exactly one, created on first use; objects on different threads never see
// each other's.
#pragma once

#include <optional>

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
};

// The calling thread's block.
ThreadBlock& ThisThread();

}  // namespace kelda
