// Support for the tests of a database file in shared use: a training run
// (the tool as a process of its own, or the library on a thread of its own)
// that calls back as it reaches chosen moments, child processes to talk to,
// and what solo runs leave in the file's tables.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/value.h"
#include "component/network_file.h"
#include "faults/fault_support.h"
#include "support/process.h"

namespace kelda::shared_use {

using faults::Outcome;
using Column = std::map<int64_t, Value>;

// Runs of a few thousand rows in the plain build; under the sanitizers,
// where every run is several times slower, a few hundred.
int Rows();
int Examples();  // the leading rows with a target
// Reports in epochs 1, 10 and 20; epoch 21 only reads the examples, then
// the final write-back writes every row.
inline constexpr int32_t kEpochs = 21;
inline constexpr uint64_t kSeed = 7;       // the run on t
inline constexpr uint64_t kOtherSeed = 8;  // a run on u

// The database: training tables t and u of Rows() rows (the first
// Examples() with a target, `Actual` -1 everywhere), t's rowids 1002, 1004,
// ... so that rows can be put before, between and after them; p, rows to
// predict with t's input columns; other(v), empty, for other programs'
// rows. The file is in rollback-journal mode, as a new file is.
std::string TablesSql();
// t's rowid of its row `i` (1-based).
inline int64_t RowidOfT(int i) { return 1000 + 2 * static_cast<int64_t>(i); }

// How long any one wait of a test may last before it counts as hung.
std::chrono::milliseconds Patience();

// True for the outcomes a run may end with while others use the file:
// success, or the documented lock error.
bool Allowed(const Outcome& o);

// Empty when the programs the tests start besides the tool (python3 and the
// sqlite3 shell) are there; else what is missing.
std::string MissingPrograms();

// Empty when `actual` holds exactly the rows of `expected`, each value to
// the last bit; otherwise the first differences.
std::string Differences(const Column& expected, const Column& actual);

// ---- Child processes -------------------------------------------------------

// A program started with its stdin and stdout on pipes of this object and
// its stderr in a file, waited for no longer than Patience().
class Child {
 public:
  // Starts argv[0] (a path) with `argv`. REQUIRES: argv is not empty.
  Child(const std::vector<std::string>& argv, const std::string& err_path);

  pid_t pid() const { return child_.pid(); }
  // The next line of its stdout, without the newline; false at the end of
  // the output or when Patience() passes first.
  bool ReadLine(std::string* line);
  // Closes its stdin, which tells the helper programs to stop.
  void CloseInput() { child_.CloseIn(); }
  // Waits for the program to end, reading what it still prints (ReadLine
  // gives it afterwards); SIGKILL once Patience() has passed. The exit
  // status; -1 when a signal ended it.
  int Wait();
  // What it wrote on stderr.
  std::string Err() const;
  // Its stdout and stderr, for failure messages.
  std::string Transcript() const;

 private:
  test::Child child_;
  std::string err_path_;
  std::deque<std::string> unread_;  // lines Wait read before ReadLine asked
  std::string seen_;                // every line read, for Transcript
};

// The tool's outcome from its exit status and stderr.
Outcome ToolOutcome(Child& tool);

// ---- The run under test ----------------------------------------------------

enum class Runner { kTool, kLibrary };
const char* Name(Runner runner);
inline void PrintTo(Runner runner, std::ostream* os) { *os << Name(runner); }

// Moments of a training run. The tool is seen through its progress lines,
// the library through its yields:
//   kEarly      the tool: as it starts; the library: the first yield, the
//               table opened
//   kMid        the tool: the report of epoch 1 printed, as epoch 10
//               begins; the library: epoch 10 begins
//   kWriteBack  the tool: the report of epoch 10 printed, as epoch 20
//               begins, followed by the final write-back, which writes
//               five times as many rows as a report epoch; the library:
//               epoch 21 begins, which only reads, then the write-back
enum class Moment { kEarly, kMid, kWriteBack };
const char* Name(Moment moment);
inline void PrintTo(Moment moment, std::ostream* os) { *os << Name(moment); }

// A training run of `table` in the file `path`, started by the constructor.
// `at` is called once for each moment the run reaches, in order, while the
// run stands still: the library's thread calls it from its yield; the tool
// is stopped (SIGSTOP) while a thread that reads its output calls it, but
// for kEarly, when it has only just started. So `at` must not wait for
// anything the run would have to do first: another program's write may
// wait for a lock the stopped tool holds.
class TrainingRun {
 public:
  // `epochs`: the run's length. The moments come at the epochs above
  // whatever it is, but the library's kWriteBack, which begins the last.
  TrainingRun(Runner runner, const std::string& path, const std::string& table, uint64_t seed,
              std::function<void(Moment)> at, int32_t epochs = kEpochs);
  // Waits for the end.
  ~TrainingRun();
  TrainingRun(const TrainingRun&) = delete;
  TrainingRun& operator=(const TrainingRun&) = delete;

  // The process whose locks are the run's: the tool's, or this one.
  pid_t holder() const;
  // True once the run has ended and made its last call of `at`.
  bool Finished() const { return finished_; }
  // Waits for the end; the run's outcome.
  Outcome Wait();

 private:
  std::function<void(Moment)> at_;
  pid_t holder_ = ::getpid();
  std::optional<Child> tool_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  Outcome outcome_;
  bool waited_ = false;
};

// Trains as above and waits for the end.
Outcome Train(Runner runner, const std::string& path, const std::string& table, uint64_t seed,
              std::function<void(Moment)> at = {});

// ---- Solo runs ---------------------------------------------------------------

// What solo runs of `runner` write into a fresh copy of the tables: t
// trained with kSeed, and when asked u trained with kOtherSeed and p
// predicted by t's network.
struct Reference {
  Column t, u, p;
  // The network of the run on t, for predictions: a file (the tool) or a
  // value (the library).
  std::string network_file;
  std::optional<SavedNetwork> network;
};
// `scratch_dir` takes the network file, which the caller may use after the
// reference's own database is gone.
Reference SoloRuns(Runner runner, bool with_u, bool with_p, const std::string& scratch_dir);

// Predicts `table` of `path` with the reference's network, through the
// runner (the tool as a process, or the library on the calling thread).
// `opened`, if given, is called once as the prediction has opened the file.
Outcome PredictWith(Runner runner, const Reference& ref, const std::string& path,
                    const std::string& table, const std::function<void()>& opened = {});

}  // namespace kelda::shared_use
