// Other programs and other runs use the database file while a run trains on
// its table t, starting early, in the middle or as the final write-back
// comes: programs that open, read and close the file again and again (a
// Python script and the sqlite3 shell), that plus one inserting rows into
// another table, a second training run on another table or on t itself,
// predictions into another table. Afterwards the file is sound, every run
// ended well or with the lock error, no committed row is lost, and every
// table whose runs all completed holds what a run alone writes into it.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "component/network.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "shared_use/shared_use.h"
#include "support/temp_db.h"

namespace kelda::shared_use {
namespace {

using std::chrono::milliseconds;

// What uses the file besides the run on t.
enum class Second { kNone, kTrainOther, kTrainSame, kPredict };

struct Scenario {
  const char* name;
  bool readers;  // the Python reader and the sqlite3 shell, repeating
  bool writer;   // a Python writer into table other, repeating
  Second second;
};

// A flag one thread sets and another waits for.
class Signal {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  bool WaitFor(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

// The other programs and runs of a scenario.
class Others {
 public:
  Others(Runner runner, const Scenario& scenario, const test::TempDb& db, const Reference& ref)
      : runner_(runner), scenario_(scenario), db_(db), ref_(ref) {}
  ~Others() { Finish(); }

  // Starts everything and returns once each has begun using the file.
  void Start() {
    started_ = true;
    const std::string rows = std::to_string(Rows());
    if (scenario_.readers) {
      Helper({"read-python", db_.path(), rows}, "read-python");
      Helper({"read-shell", KELDA_SQLITE3_SHELL, db_.path(), rows}, "read-shell");
    }
    if (scenario_.writer) Helper({"write", db_.path()}, "write");
    switch (scenario_.second) {
      case Second::kNone:
        break;
      case Second::kTrainOther:
        SecondRun("u", kOtherSeed);
        break;
      case Second::kTrainSame:
        SecondRun("t", kSeed);
        break;
      case Second::kPredict:
        worker_ = std::thread([this] {
          do {
            outcomes_.push_back(
                PredictWith(runner_, ref_, db_.path(), "p", [this] { begun_.Set(); }));
          } while (!stop_);
        });
        break;
    }
    for (const auto& helper : helpers_) {
      std::string line;
      EXPECT_TRUE(helper->ReadLine(&line) && line == "ready")
          << "another program did not begin: " << helper->Transcript();
    }
    if (worker_.joinable()) {
      EXPECT_TRUE(begun_.WaitFor(Patience())) << "the second run did not begin";
    }
  }

  // After the run on t: stops what repeats, waits for everything, and checks
  // that the other programs found what they should.
  void Finish() {
    if (finished_) return;
    finished_ = true;
    stop_ = true;
    if (worker_.joinable()) worker_.join();
    if (tool_) outcomes_.push_back(ToolOutcome(*tool_));
    for (const auto& helper : helpers_) helper->CloseInput();
    for (const auto& helper : helpers_) {
      EXPECT_EQ(helper->Wait(), 0) << helper->Transcript();
      std::string line;
      std::string last;
      while (helper->ReadLine(&line)) last = line;
      if (last.rfind("inserted ", 0) == 0) inserted_ = std::stoll(last.substr(9));
    }
  }

  bool started() const { return started_; }
  // The outcomes of the second training run or of each prediction.
  const std::vector<Outcome>& outcomes() const { return outcomes_; }
  bool AllCompleted() const {
    for (const Outcome& o : outcomes_) {
      if (o.number != 0) return false;
    }
    return !outcomes_.empty();
  }
  // The rows the writer committed; -1 without a writer.
  int64_t inserted() const { return inserted_; }

 private:
  void Helper(std::vector<std::string> args, const std::string& name) {
    args.insert(args.begin(), {KELDA_PYTHON3, KELDA_OTHER_PROGRAM});
    helpers_.push_back(std::make_unique<Child>(args, db_.File(name + ".err")));
  }

  void SecondRun(const std::string& table, uint64_t seed) {
    if (runner_ == Runner::kTool) {
      tool_.emplace(std::vector<std::string>{KELDA_BINARY, "train", db_.path(), table, "--seed",
                                             std::to_string(seed), "--epochs",
                                             std::to_string(kEpochs), "--quiet"},
                    db_.File("second.err"));
      begun_.Set();
      return;
    }
    worker_ = std::thread([this, table, seed] {
      ScopedThreadSettings settings(seed, [this] { begun_.Set(); });
      Network network;
      network.SetMSAccessDBName(db_.path());
      network.SetMSAccessTableName(table);
      network.SetEpochs(kEpochs);
      outcomes_.push_back(faults::Attempt([&] { network.RunNetwork(); }));
      begun_.Set();  // a run that failed before its first yield
    });
  }

  Runner runner_;
  Scenario scenario_;
  const test::TempDb& db_;
  const Reference& ref_;
  std::vector<std::unique_ptr<Child>> helpers_;
  std::optional<Child> tool_;
  std::thread worker_;
  Signal begun_;
  std::atomic<bool> stop_{false};
  std::vector<Outcome> outcomes_;
  int64_t inserted_ = -1;
  bool started_ = false;
  bool finished_ = false;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

constexpr Scenario kScenarios[] = {
    {"Readers", true, false, Second::kNone},
    {"ReadersAndAWriter", true, true, Second::kNone},
    {"TrainingOnAnotherTable", false, false, Second::kTrainOther},
    {"TrainingOnTheSameTable", false, false, Second::kTrainSame},
    {"PredictingAnotherTable", false, false, Second::kPredict},
};

using Case = std::tuple<Runner, Scenario, Moment>;

class FileInSharedUse : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { ASSERT_EQ(MissingPrograms(), ""); }
  const faults::TempFilesInMemory in_memory_;
};

// Every row of `table` holds exactly what it holds after the solo runs
// when every run that wrote it completed, else its old value or a number.
void ExpectTable(const test::TempDb& db, const std::string& table, const Column& solo,
                 bool completed) {
  SCOPED_TRACE("table " + table);
  const Column after = faults::ActualByRow(db.path(), table);
  if (completed) {
    EXPECT_EQ(Differences(solo, after), "");
    return;
  }
  // Nothing else writes `Actual`, which holds -1 in every row at first.
  Column before;
  for (const auto& [rowid, value] : after) before[rowid] = Value(-1.0);
  std::string why;
  EXPECT_TRUE(faults::OldOrFinite(before, after, &why)) << why;
}

TEST_P(FileInSharedUse, StaysSoundAndEveryCompletedRunWritesWhatItWritesAlone) {
  const auto& [runner, scenario, moment] = GetParam();
  const test::TempDb db(TablesSql());
  const Reference solo = SoloRuns(runner, scenario.second == Second::kTrainOther,
                                  scenario.second == Second::kPredict, db.dir());
  ASSERT_FALSE(HasFailure()) << "the solo runs failed";

  Others others(runner, scenario, db, solo);
  const Outcome run = Train(runner, db.path(), "t", kSeed, [&](Moment m) {
    if (m == moment) others.Start();
  });
  others.Finish();

  EXPECT_TRUE(Allowed(run)) << run.number << ": " << run.text;
  if (run.number == 0) {
    EXPECT_TRUE(others.started()) << "the run never came to the moment";
  }
  for (const Outcome& o : others.outcomes()) EXPECT_TRUE(Allowed(o)) << o.number << ": " << o.text;
  EXPECT_EQ(faults::IntegrityCheck(db.path()), "ok");

  const bool t_completed =
      run.number == 0 && (scenario.second != Second::kTrainSame || others.AllCompleted());
  ExpectTable(db, "t", solo.t, t_completed);
  if (scenario.second == Second::kTrainOther) ExpectTable(db, "u", solo.u, others.AllCompleted());
  if (scenario.second == Second::kPredict) ExpectTable(db, "p", solo.p, others.AllCompleted());
  if (scenario.writer) {
    EXPECT_GT(others.inserted(), 0);
    EXPECT_EQ(test::RawDb(db.path()).Scalar("SELECT COUNT(*) FROM other"),
              Value(static_cast<double>(others.inserted())))
        << "committed rows were lost";
  }
}

INSTANTIATE_TEST_SUITE_P(Moments, FileInSharedUse,
                         ::testing::Combine(::testing::Values(Runner::kTool, Runner::kLibrary),
                                            ::testing::ValuesIn(kScenarios),
                                            ::testing::Values(Moment::kEarly, Moment::kMid,
                                                              Moment::kWriteBack)),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(Name(std::get<0>(info.param))) + "_" +
                                  std::get<1>(info.param).name + "_" +
                                  Name(std::get<2>(info.param));
                         });

}  // namespace
}  // namespace kelda::shared_use
