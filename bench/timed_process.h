// Timing a program from its start to its exit, for the benchmarks that set
// kelda's tool against a peer program, each a process of its own.
#pragma once

#include <string>
#include <vector>

namespace kelda::bench {

struct ProcessTimes {
  double wall_ms = 0.0;
  // User and system time of the process: less disturbed than the wall
  // clock by other work on a shared machine.
  double cpu_ms = 0.0;
};

// Runs `args` (args[0] a path, not searched for) and times it from its start
// to its exit. Its standard output, the tool's report, goes to the file
// `output` (replaced); its errors stay on ours. Throws std::runtime_error
// when it cannot be started or does not exit with 0, so that a failed run is
// never timed as a fast one.
ProcessTimes TimeProcess(std::vector<std::string> args, const std::string& output = "/dev/null");

struct FirstOutputTimes {
  double first_output_ms = 0.0;  // from its start to the first byte it wrote
  double wall_ms = 0.0;          // from its start to its exit
};

// Runs `args` as TimeProcess does, but with its standard output on a
// terminal of its own (a pseudo-terminal, read and discarded here), and
// times it also to its first byte there: for `kelda train`, whose progress
// line on a terminal is first drawn at the run's first yield, that is when
// the training begins. Throws std::runtime_error as TimeProcess does, and
// when the program wrote nothing.
FirstOutputTimes TimeToFirstOutput(std::vector<std::string> args);

// Runs `ours` and `peer`, `ours` first in even repetitions and second in
// odd ones, so that drift over the repetitions falls on both alike.
template <class Ours, class Peer>
void RunAlternately(int rep, Ours&& ours, Peer&& peer) {
  if (rep % 2 == 0) {
    ours();
    peer();
  } else {
    peer();
    ours();
  }
}

// The median of `field` over `runs`.
double MedianOf(const std::vector<ProcessTimes>& runs, double ProcessTimes::*field);

// Prints the medians of kelda's and the peer's runs, wall clock and CPU,
// each line led by `ours` or `peer`, and the ratio of the wall clocks as
// `ratio_name` against `target`, then the ratio aimed at.
void PrintJobComparison(const std::vector<ProcessTimes>& ours_runs, const std::string& ours,
                        const std::vector<ProcessTimes>& peer_runs, const std::string& peer,
                        const std::string& ratio_name, double target, double aim = 1.0);

}  // namespace kelda::bench
