#include "run_epochs.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <kelda/network.h>
#include <kelda/run_options.h>

namespace kelda::bench {

bool IsReportEpoch(int32_t epoch) { return epoch == 1 || epoch % 10 == 0; }

EpochTimes TimeRunEpochs(const std::string& database, const std::string& table, int32_t epochs,
                         uint64_t seed) {
  using Clock = std::chrono::steady_clock;
  // A yield opens every epoch, right after the three row sources are
  // rewound, so an epoch lasts from its first yield to the next epoch's. A
  // report epoch thus includes whatever the next epoch's first rewind does
  // about the writes it made (a checkpoint of the log on a file).
  std::vector<Clock::time_point> starts(static_cast<size_t>(epochs) + 1);
  int32_t seen = 0;
  RunOptions options;
  options.seed = seed;
  options.progress = [&](const RunProgress& progress) {
    const int32_t epoch = progress.epoch;
    if (epoch == seen || epoch < 1 || epoch > epochs) return;
    starts[static_cast<size_t>(epoch)] = Clock::now();
    seen = epoch;
  };
  options.progress_writes_database = false;
  Network net;
  net.SetMSAccessDBName(database);
  net.SetMSAccessTableName(table);
  net.SetEpochs(epochs);
  net.RunNetwork(options);

  EpochTimes times;
  times.epochs_run = seen;
  for (int32_t epoch = 1; epoch < seen; ++epoch) {
    const double ms =
        std::chrono::duration<double, std::milli>(starts[static_cast<size_t>(epoch) + 1] -
                                                  starts[static_cast<size_t>(epoch)])
            .count();
    (IsReportEpoch(epoch) ? times.report_ms : times.plain_ms).push_back(ms);
  }
  if (times.plain_ms.empty() || times.report_ms.empty()) {
    throw std::runtime_error("the run ended after " + std::to_string(seen) +
                             " epochs, too few to time");
  }
  if (seen < epochs) std::printf("note: a run ended after %d of %d epochs\n", seen, epochs);
  return times;
}

}  // namespace kelda::bench
