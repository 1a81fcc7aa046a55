// The training run: set-up, a fixed number of epochs over the training table
// (its examples re-read whenever another program changed the file), status reports in
// the first and every tenth epoch, and the final predictions in `Actual`.
#pragma once

#include <cstdint>
#include <functional>

#include "data/database.h"
#include "engine/network_state.h"
#include "status/status_window.h"
#include "training/object_fields.h"

namespace kelda::training {

// The host's part of a yield, run after the status window has processed its
// messages (a terminal display refreshing its progress line, say). Empty:
// nothing more to do.
using YieldHook = std::function<void()>;

// What a host's hook may do to the run's database file. A hook that may
// write to it (through a connection of its own) finds no write lock of the
// run in its way: the run commits its open group of predictions before each
// call. A hook that leaves the file alone (a progress display) lets a report
// epoch commit its predictions in groups across its yields.
enum class YieldUse { kMayWriteDatabase, kLeavesDatabaseAlone };

// Where the run in progress stands, for a host that shows progress at its
// yields: the epoch begun last (0 before the first) of how many. After the
// run, `epoch` is the number of epochs run and `converged` tells whether the
// convergence test ended it before `epochs`.
struct RunProgress {
  int32_t epoch = 0;
  int32_t epochs = 0;
  bool converged = false;
};

// What a run uses of the thread it runs on: the thread's network, database
// engine, status window, message-loop hook and progress record.
struct ThreadServices {
  engine::NetworkState& net;
  data::DBEngine& db_engine;
  status::StatusWindow& status;
  const YieldHook& yield;
  YieldUse yield_use;
  RunProgress& progress;
};

// Trains the network of `thread` on the table `fields` names, for
// fields.Epochs epochs (read once, at the start) or until the error sum of a
// report epoch's whole pass has converged (that epoch's weight update is then
// left out), then stores the final predictions and shows " Training
// Complete". Every error ends the run where it occurs; nothing is rolled
// back: every prediction stored before it is committed. Once another program
// has vacuumed the file or changed its schema, the run stops with 3197 at its
// next rewind or write, before it reads or writes a row by keys or column
// positions that may no longer be the ones it took. A report epoch's
// predictions are committed in groups (the engine's commit window), and
// before the host's code can run at a yield (see YieldUse and
// status::StatusWindow::Yield).
void RunNetwork(ThreadServices& thread, ObjectFields& fields);

// The convergence test at the end of a report epoch with at least one
// example: the pass's error sum rounded to 15 significant digits is below
// 0.0009.
bool Converged(double error_sum);

}  // namespace kelda::training
