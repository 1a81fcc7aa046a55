#include "shared_use/shared_use.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <sstream>

#include "base/error.h"
#include "component/network.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "support/process.h"
#include "support/temp_db.h"

namespace kelda::shared_use {

int Rows() {
#ifdef KELDA_SHARED_USE_SMALL
  return 750;
#else
  return 3000;
#endif
}

int Examples() { return Rows() / 5; }

std::string TablesSql() {
  const std::string rows = std::to_string(Rows());
  const std::string examples = std::to_string(Examples());
  const std::string series =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + rows + ") ";
  // Targets that no network of this size fits keep every run from
  // converging, so that each reaches its last epoch.
  return "CREATE TABLE t(a REAL, b REAL, c REAL, y REAL, Actual REAL);" + series +
         "INSERT INTO t(rowid, a, b, c, y, Actual) SELECT 1000 + 2 * i, i % 17, (i * 7) % 23 + "
         "0.5, "
         "(i * i) % 31, CASE WHEN i > " +
         examples +
         " THEN NULL ELSE (i * 13) % 11 + (i % 3) * 0.25 END, -1 FROM n;"
         "CREATE TABLE u(d REAL, e REAL, z REAL, Actual REAL);" +
         series + "INSERT INTO u SELECT (i * 3) % 19, (i * 11) % 29 - 4, CASE WHEN i > " +
         examples +
         " THEN NULL ELSE (i * 5) % 13 + (i % 4) * 0.5 END, -1 FROM n;"
         "CREATE TABLE p(c REAL, b REAL, a REAL, y REAL, Actual REAL);" +
         series +
         "INSERT INTO p SELECT (i * 5) % 31, (i * 3) % 23 + 0.5, i % 17, NULL, -1 FROM n;" +
         "CREATE TABLE other(v);";
}

std::chrono::milliseconds Patience() {
#ifdef KELDA_SHARED_USE_SMALL
  return std::chrono::seconds(240);
#else
  return std::chrono::seconds(60);
#endif
}

bool Allowed(const Outcome& o) { return o.number == 0 || o.number == kErrLocked; }

std::string MissingPrograms() {
  std::string missing;
  for (const char* program : {KELDA_PYTHON3, KELDA_SQLITE3_SHELL}) {
    if (::access(program, X_OK) != 0) missing += std::string(program) + " ";
  }
  return missing.empty() ? missing
                         : missing + "(the Debian packages python3 and sqlite3; make deps)";
}

std::string Differences(const Column& expected, const Column& actual) {
  std::ostringstream text;
  int count = 0;
  const auto note = [&](int64_t rowid, const std::string& what) {
    if (++count <= 5) text << "row " << rowid << ": " << what << "; ";
  };
  for (const auto& [rowid, want] : expected) {
    const auto got = actual.find(rowid);
    if (got == actual.end()) {
      note(rowid, "missing");
      continue;
    }
    const bool same = want.IsNumber() && got->second.IsNumber()
                          ? std::bit_cast<uint64_t>(want.number()) ==
                                std::bit_cast<uint64_t>(got->second.number())
                          : want == got->second;
    if (!same) note(rowid, got->second.Describe() + " instead of " + want.Describe());
  }
  for (const auto& [rowid, value] : actual) {
    if (expected.count(rowid) == 0) note(rowid, "unexpected, holding " + value.Describe());
  }
  if (count > 5) text << "and " << count - 5 << " more";
  return text.str();
}

// ---- Child -------------------------------------------------------------------

namespace {

test::ChildOptions PipedWithErrIn(const std::string& err_path) {
  test::ChildOptions options;
  options.in = test::Stream::Pipe();
  options.out = test::Stream::Pipe();
  options.err = test::Stream::File(err_path);
  return options;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::string& err_path)
    : child_(argv, PipedWithErrIn(err_path)), err_path_(err_path) {}

bool Child::ReadLine(std::string* line) {
  if (!unread_.empty()) {
    *line = std::move(unread_.front());
    unread_.pop_front();
    return true;
  }
  if (child_.out() < 0 || !child_.ReadLine(line, Patience())) return false;
  seen_ += *line + "\n";
  return true;
}

int Child::Wait() {
  const auto deadline = std::chrono::steady_clock::now() + Patience();
  auto left = [&deadline] {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()));
  };
  // Reading keeps a program that still prints from blocking on a full pipe.
  std::string line;
  while (child_.out() >= 0 && child_.ReadLine(&line, left())) {
    seen_ += line + "\n";
    unread_.push_back(std::move(line));
  }
  std::optional<test::Ended> ended = child_.Wait(left());
  if (!ended) {
    ADD_FAILURE() << "a child process did not end within " << Patience().count()
                  << " ms; killed it. " << Transcript();
    child_.Signal(SIGKILL);
    ended = child_.Wait();
  }
  return ended->status;
}

std::string Child::Err() const { return test::FileText(err_path_); }

std::string Child::Transcript() const { return "stdout: [" + seen_ + "] stderr: [" + Err() + "]"; }

Outcome ToolOutcome(Child& tool) {
  test::ProcessResult r;
  r.status = tool.Wait();
  r.err = tool.Err();
  return faults::OutcomeOf(r);
}

// ---- TrainingRun -------------------------------------------------------------

const char* Name(Runner runner) { return runner == Runner::kTool ? "Tool" : "Library"; }

const char* Name(Moment moment) {
  switch (moment) {
    case Moment::kEarly:
      return "Early";
    case Moment::kMid:
      return "Mid";
    case Moment::kWriteBack:
      return "WriteBack";
  }
  return "?";
}

namespace {

// Calls `at`, turning an exception into a test failure: it must not leave
// a thread of its own.
void Reach(const std::function<void(Moment)>& at, Moment moment) {
  if (!at) return;
  try {
    at(moment);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "at moment " << Name(moment) << ": " << e.what();
  }
}

// Runs `fn` on a thread of its own, with a fresh per-thread block.
void OnFreshThread(const std::function<void()>& fn) { std::thread(fn).join(); }

// The epoch of a progress line "epoch  N/M ...", or -1.
int EpochOfLine(const std::string& line) {
  if (line.rfind("epoch ", 0) != 0) return -1;
  return std::atoi(line.c_str() + 6);
}

}  // namespace

TrainingRun::TrainingRun(Runner runner, const std::string& path, const std::string& table,
                         uint64_t seed, std::function<void(Moment)> at, int32_t epochs)
    : at_(std::move(at)) {
  if (runner == Runner::kTool) {
    // Its stdout is a pipe: one plain line per report, each written once the
    // run has moved on to the next report.
    tool_.emplace(
        std::vector<std::string>{KELDA_BINARY, "train", path, table, "--seed", std::to_string(seed),
                                 "--epochs", std::to_string(epochs)},
        path + "." + table + ".train.err");
    holder_ = tool_->pid();
    thread_ = std::thread([this] {
      Reach(at_, Moment::kEarly);
      // Later moments find the tool at a progress line; it is stopped while
      // `at` runs, as the library's thread waits in its yield.
      const auto reach_stopped = [this](Moment moment) {
        ::kill(holder_, SIGSTOP);
        Reach(at_, moment);
        ::kill(holder_, SIGCONT);
      };
      bool mid = false;
      bool write_back = false;
      std::string line;
      while (tool_->ReadLine(&line)) {
        const int epoch = EpochOfLine(line);
        if (epoch >= 1 && !mid) {
          mid = true;
          reach_stopped(Moment::kMid);
        } else if (epoch >= 10 && !write_back) {
          write_back = true;
          reach_stopped(Moment::kWriteBack);
        }
      }
      finished_ = true;
    });
    return;
  }
  thread_ = std::thread([this, path, table, seed, epochs] {
    // The epoch each moment's yield begins, in the order of Moment.
    const int32_t kFrom[] = {0, 10, epochs};
    size_t reached = 0;
    ScopedThreadSettings settings(seed, [&] {
      if (reached < std::size(kFrom) && ThisThread().progress.epoch >= kFrom[reached]) {
        Reach(at_, static_cast<Moment>(reached++));
      }
    });
    Network network;
    network.SetMSAccessDBName(path);
    network.SetMSAccessTableName(table);
    network.SetEpochs(epochs);
    outcome_ = faults::Attempt([&] { network.RunNetwork(); });
    finished_ = true;
  });
}

TrainingRun::~TrainingRun() { Wait(); }

pid_t TrainingRun::holder() const { return holder_; }

Outcome TrainingRun::Wait() {
  if (waited_) return outcome_;
  waited_ = true;
  if (tool_) {
    // The reader thread ends at the end of the output, which the tool's end
    // brings.
    if (thread_.joinable()) thread_.join();
    outcome_ = ToolOutcome(*tool_);
    return outcome_;
  }
  if (thread_.joinable()) thread_.join();
  return outcome_;
}

Outcome Train(Runner runner, const std::string& path, const std::string& table, uint64_t seed,
              std::function<void(Moment)> at) {
  TrainingRun run(runner, path, table, seed, std::move(at));
  return run.Wait();
}

// ---- Solo runs -----------------------------------------------------------------

Reference SoloRuns(Runner runner, bool with_u, bool with_p, const std::string& scratch_dir) {
  const test::TempDb db(TablesSql());
  Reference ref;
  if (runner == Runner::kTool) {
    ref.network_file = scratch_dir + "/t.network.json";
    const auto t = faults::RunToolProcess({"train", db.path(), "t", "--seed", std::to_string(kSeed),
                                           "--epochs", std::to_string(kEpochs), "--quiet",
                                           "--save-network", ref.network_file});
    EXPECT_EQ(t.status, 0) << "the solo run on t failed: " << t.err;
    if (with_u) {
      const auto u =
          faults::RunToolProcess({"train", db.path(), "u", "--seed", std::to_string(kOtherSeed),
                                  "--epochs", std::to_string(kEpochs), "--quiet"});
      EXPECT_EQ(u.status, 0) << "the solo run on u failed: " << u.err;
    }
  } else {
    OnFreshThread([&] {
      Network network;
      const Outcome o = faults::TrainWithLibrary(network, db.path(), "t", kEpochs, kSeed);
      EXPECT_EQ(o.number, 0) << "the solo run on t failed: " << o.text;
      if (o.number == 0) ref.network = CaptureNetwork(network);
    });
    if (with_u) {
      OnFreshThread([&] {
        Network network;
        const Outcome o = faults::TrainWithLibrary(network, db.path(), "u", kEpochs, kOtherSeed);
        EXPECT_EQ(o.number, 0) << "the solo run on u failed: " << o.text;
      });
    }
  }
  if (with_p) {
    OnFreshThread([&] {
      const Outcome o = PredictWith(runner, ref, db.path(), "p");
      EXPECT_EQ(o.number, 0) << "the solo prediction of p failed: " << o.text;
    });
  }
  ref.t = faults::ActualByRow(db.path(), "t");
  if (with_u) ref.u = faults::ActualByRow(db.path(), "u");
  if (with_p) ref.p = faults::ActualByRow(db.path(), "p");
  return ref;
}

Outcome PredictWith(Runner runner, const Reference& ref, const std::string& path,
                    const std::string& table, const std::function<void()>& opened) {
  if (runner == Runner::kTool) {
    Child tool({KELDA_BINARY, "predict", path, table, "--network", ref.network_file},
               path + "." + table + ".predict.err");
    if (opened) opened();
    return ToolOutcome(tool);
  }
  if (!ref.network) return Outcome{-1, "no network to predict with"};
  data::DBEngine& engine = ThisThread().DBEngine();
  bool told = false;
  engine.SetStatementObserver([&](const std::string&) {
    if (!told && opened) opened();
    told = true;
  });
  const Outcome o = faults::Attempt([&] { Predict(engine, *ref.network, path, table); });
  engine.SetStatementObserver(nullptr);
  if (!told && opened) opened();
  return o;
}

}  // namespace kelda::shared_use
