// A whole training run timed epoch by epoch, in the benchmark's own process,
// on a table of an SQLite file or of a server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelda::bench {

// The run's reporting rule: the first epoch and every tenth.
bool IsReportEpoch(int32_t epoch);

struct EpochTimes {
  std::vector<double> plain_ms;   // epochs that write no prediction
  std::vector<double> report_ms;  // epochs that write every row's prediction
  int32_t epochs_run = 0;
};

// Trains a network on `table` of `database` (a file path or a server URI)
// for `epochs` from weights of `seed`, on this thread, and times every epoch
// but the last (which ends in the final write-back) from its first yield to
// the next epoch's. Throws what the run throws, and when the run ended
// before there was a plain and a report epoch to time; notes a run that
// ended before `epochs` on standard output.
EpochTimes TimeRunEpochs(const std::string& database, const std::string& table, int32_t epochs,
                         uint64_t seed);

}  // namespace kelda::bench
