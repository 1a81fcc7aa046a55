// The tool's commands, callable without a process of their own. They print
// only to the Console they are given and let kelda::Error pass; turning an
// error into a message and an exit status is the caller's job.
#pragma once

#include <kelda/fit.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kelda::cli {

// Where a command writes its report and its progress, and whether each
// stream is a terminal (a redrawn progress line) or not (plain lines).
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool out_is_terminal = false;
  bool err_is_terminal = false;
};

struct TrainOptions {
  std::string database;
  std::string table;
  int32_t epochs = 500;          // passed to the network as given, 0 and below included
  std::optional<uint64_t> seed;  // none: weights seeded from the clock
  std::string save_network;      // empty: not saved
  bool relevance = false;
  bool json = false;  // the report as one JSON object; progress to a terminal stderr only
  bool json_predictions = false;  // the JSON report also lists every row's prediction
  bool quiet = false;             // no progress
  std::string status_png;         // empty: no picture of the status window
  bool status_png_live = false;   // also rewrite the picture after every report epoch
  bool show_status = false;       // the status window on screen during the run
};

struct ColumnScore {
  std::string name;
  double score = 0.0;
};

// What a training run leaves to report.
struct TrainReport {
  std::string database;
  std::string table;
  int32_t epochs = 0;      // asked for
  int32_t epochs_run = 0;  // begun, the last one included when the run converged in it
  bool converged = false;  // the convergence test ended the run before `epochs`
  int32_t rows = 0;
  // The stored predictions of the example rows (those before the first Null
  // target) against their targets; without figures when one of them is not
  // a number.
  FitFigures fit;
  // Every row's stored prediction in table order (none where it is not a
  // number), when asked for.
  std::optional<std::vector<std::optional<double>>> predictions;
  std::string cycle_text;  // the status window's texts at the end, without leading blanks
  std::string error_text;
  std::optional<std::vector<ColumnScore>> relevance;
  // The stored predictions of the rows `kelda import --holdout` held out
  // against their true targets; none without that side table.
  std::optional<FitFigures> holdout;
  std::string network_file;  // empty: not saved
  std::string status_png;    // empty: no picture written
};

// Trains a network on the table with the calling thread's network, showing
// progress as the options say, scores the inputs and saves the network when
// asked. The thread's fixed seed and yield hook are restored afterwards.
// With show_status the thread's status window is shown before the run; where
// it cannot appear (no display) console.err says so and the run goes on. A
// picture asked for is written once the run has completed, and with
// status_png_live also at the first yield of each epoch whose window shows
// texts the picture lacks, so a viewer can follow a long run. The files to
// write are checked before the run (see ResolveOutputFile: error 75), and a
// symbolic link among them is written through. An interrupt (SIGINT,
// SIGTERM, see cli/interrupt.h) raises 18 saying which epoch was reached.
TrainReport Train(const TrainOptions& options, Console& console);

// For `train --show-status`: once the report is out, leaves the status window
// on screen until the user closes it. Returns at once when it is not on
// screen (no display, or closed already).
void WaitForStatusWindow(Console& console);

// The report as text to console.out, or as one JSON object (one line).
void PrintTrainReport(const TrainReport& report, bool json, Console& console);

// One line per column: name, score and a bar relative to the highest score.
void PrintRelevance(const std::vector<ColumnScore>& scores, std::ostream& out);

struct PredictOptions {
  std::string database;
  std::string table;
  std::string network_file;
  bool json = false;
};

// Writes the saved network's predictions into the table's `Actual` and
// reports how many rows it wrote. Returns that number.
int64_t RunPredict(const PredictOptions& options, Console& console);

}  // namespace kelda::cli
