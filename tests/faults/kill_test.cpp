// A training process killed with SIGKILL in the middle of a report epoch or
// of the final write-back, at moments chosen at random: afterwards the file
// opens, is sound, and holds what the run had committed, in order. Every row
// of an uninterrupted run with the same seed goes through a known sequence
// of values (old, then one per report epoch, then the final prediction); the
// killed run's rows, in the order the run writes them, must be a prefix of
// one step of that sequence and the rest of the step before.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "faults/fault_support.h"
#include "support/process.h"
#include "support/temp_db.h"

namespace kelda::faults {
namespace {

// 40 examples and 2 rows to predict; a noisy target keeps the run from
// converging, so that every report epoch happens. Old values: -1, and Null
// in rows 7 and 8.
constexpr const char* kTable =
    "CREATE TABLE t(a REAL, b REAL, y REAL, Actual REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 42)"
    "  INSERT INTO t SELECT i % 7, (i * 5) % 9 + 0.5,"
    "    CASE WHEN i > 40 THEN NULL ELSE (i * 13) % 11 END,"
    "    CASE WHEN i IN (7, 8) THEN NULL ELSE -1 END FROM n;";
constexpr int kRows = 42;
constexpr int kExamples = 40;
constexpr int kEpochs = 21;  // reports in epochs 1, 10 and 20, then the write-back
constexpr const char* kSeed = "17";

using Column = std::map<int64_t, Value>;

// The victim as a child process whose stdout the test reads line by line.
class Victim {
 public:
  // `mode`: nullptr, "snapshots" or "grouped" (see victim_main.cpp).
  Victim(const std::string& path, const char* mode) : child_(Argv(path, mode), Options()) {}

  bool started() const { return child_.pid() > 0 && child_.out() >= 0; }

  // The next line, without its newline; false at the end of the output.
  bool ReadLine(std::string* line) { return child_.ReadLine(line); }

  // Sends SIGKILL (once) and waits for the process; true when it was the
  // signal that ended it.
  bool Kill() {
    child_.Signal(SIGKILL);
    return child_.Wait()->signal == SIGKILL;
  }

 private:
  static std::vector<std::string> Argv(const std::string& path, const char* mode) {
    std::vector<std::string> argv = {KELDA_VICTIM, path, "t", std::to_string(kEpochs), kSeed};
    if (mode != nullptr) argv.push_back(mode);
    return argv;
  }
  static test::ChildOptions Options() {
    test::ChildOptions options;
    options.out = test::Stream::Pipe();
    options.err = test::Stream::Inherit();
    return options;
  }

  test::Child child_;
};

Value ParseValue(const std::string& text) {
  if (text == "null") return Value::Null();
  uint64_t bits = std::strtoull(text.c_str(), nullptr, 16);
  double v = 0.0;
  std::memcpy(&v, &bits, sizeof v);
  return Value(v);
}

// The column as an uninterrupted run leaves it after each of its steps, in
// order: before the run, after each report epoch, after the write-back.
std::vector<Column> ReferenceSteps() {
  test::TempDb db(kTable);
  Victim victim(db.path(), "snapshots");
  EXPECT_TRUE(victim.started());
  std::vector<Column> steps;
  Column current;
  std::string line;
  bool done = false;
  while (victim.ReadLine(&line)) {
    if (line == "done") done = true;
    if (line.rfind("row ", 0) == 0) {
      std::istringstream fields(line.substr(4));
      int64_t rowid = 0;
      std::string value;
      fields >> rowid >> value;
      current[rowid] = ParseValue(value);
    } else if (line == "end") {
      if (steps.empty() || steps.back() != current) steps.push_back(current);
      current.clear();
      if (done) break;
    } else if (line.rfind("error", 0) == 0) {
      ADD_FAILURE() << "the uninterrupted run failed: " << line;
      break;
    }
  }
  EXPECT_TRUE(done);
  return steps;
}

// True when `state` is, in rowid order, a prefix of some step followed by
// the rest of the step before it.
bool IsAnInterruptedStep(const Column& state, const std::vector<Column>& steps, std::string* why) {
  for (size_t p = 1; p < steps.size(); ++p) {
    auto row = state.begin();
    auto now = steps[p].begin();
    auto before = steps[p - 1].begin();
    while (row != state.end() && row->second == now->second) ++row, ++now, ++before;
    while (row != state.end() && row->second == before->second) ++row, ++now, ++before;
    if (row == state.end()) return true;
  }
  if (state == steps.front()) return true;
  std::ostringstream text;
  for (const auto& [rowid, v] : state) text << rowid << "=" << v.Describe() << " ";
  *why = text.str();
  return false;
}

TEST(Killed, MidReportOrMidWriteBackLeavesWhatWasCommittedInOrder) {
  // A killed process leaves its writes in the system's cache, wherever the
  // file is; a memory file system spares the disk's waits.
  const TempFilesInMemory in_memory;
  const std::vector<Column> steps = ReferenceSteps();
  // Before, three report epochs, the write-back.
  ASSERT_EQ(steps.size(), 5u);

  std::mt19937 random(20240611);
  // The epochs whose commits are reports, then the one after which the
  // write-back's commits follow.
  const int phases[] = {1, 10, 20, kEpochs};
  int killed_mid_run = 0;
  for (int attempt = 0; attempt < 60 && killed_mid_run < 24; ++attempt) {
    const int phase = phases[attempt % 4];
    const int commits = phase == kEpochs ? kRows : kExamples;
    const int at_commit = std::uniform_int_distribution<int>(1, commits - 2)(random);
    const auto delay =
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 400)(random));
    SCOPED_TRACE("epoch " + std::to_string(phase) + ", commit " + std::to_string(at_commit) +
                 ", delay " + std::to_string(delay.count()) + " us");

    test::TempDb db(kTable);
    bool finished = false;
    {
      Victim victim(db.path(), nullptr);
      ASSERT_TRUE(victim.started());
      std::string line;
      int epoch = -1;
      int seen = 0;
      while (victim.ReadLine(&line)) {
        if (line.rfind("epoch ", 0) == 0) epoch = std::atoi(line.c_str() + 6);
        if (line == "commit" && epoch == phase && ++seen == at_commit) break;
        // A run that ends before that commit waits with its output open:
        // reading on would never end.
        if (line == "done") {
          finished = true;
          break;
        }
        ASSERT_NE(line.rfind("error", 0), 0u) << line;
      }
      std::this_thread::sleep_for(delay);
      ASSERT_TRUE(victim.Kill());
      // Whatever the victim wrote before it died tells whether the kill
      // came after the run had returned.
      while (victim.ReadLine(&line)) finished = finished || line == "done";
    }
    if (!finished) ++killed_mid_run;

    EXPECT_EQ(IntegrityCheck(db.path()), "ok");
    const Column state = ActualByRow(db.path(), "t");
    std::string why;
    EXPECT_TRUE(IsAnInterruptedStep(state, steps, &why)) << why;
  }
  EXPECT_GE(killed_mid_run, 24);
}

// Rows committed in groups: a kill at a random moment of a report epoch or
// of the write-back loses the open group's rows, which keep their values.
TEST(Killed, MidGroupLosesOnlyTheOpenGroup) {
  const TempFilesInMemory in_memory;
  const std::vector<Column> steps = ReferenceSteps();
  ASSERT_EQ(steps.size(), 5u);
  std::mt19937 random(20261208);
  const int phases[] = {1, 10, 20, kEpochs};
  for (int attempt = 0; attempt < 16; ++attempt) {
    const int phase = phases[attempt % 4];
    const auto delay =
        std::chrono::microseconds(std::uniform_int_distribution<int>(0, 600)(random));
    SCOPED_TRACE("epoch " + std::to_string(phase) + ", delay " + std::to_string(delay.count()) +
                 " us");
    test::TempDb db(kTable);
    {
      Victim victim(db.path(), "grouped");
      ASSERT_TRUE(victim.started());
      std::string line;
      while (victim.ReadLine(&line) && line != "epoch " + std::to_string(phase) && line != "done") {
        ASSERT_NE(line.rfind("error", 0), 0u) << line;
      }
      std::this_thread::sleep_for(delay);
      ASSERT_TRUE(victim.Kill());
    }
    EXPECT_EQ(IntegrityCheck(db.path()), "ok");
    const Column state = ActualByRow(db.path(), "t");
    EXPECT_TRUE(std::find(steps.begin(), steps.end(), state) != steps.end())
        << "not the state after a whole group";
  }
}

// After a kill the file is usable: a run on it completes.
TEST(Killed, TheFileTakesAnotherRunAfterwards) {
  test::TempDb db(kTable);
  {
    Victim victim(db.path(), nullptr);
    ASSERT_TRUE(victim.started());
    std::string line;
    int commits = 0;
    while (victim.ReadLine(&line) && !(line == "commit" && ++commits == 25)) {
    }
    ASSERT_TRUE(victim.Kill());
  }
  Network network;
  EXPECT_EQ(TrainWithLibrary(network, db.path(), "t", 12).number, 0);
  EXPECT_EQ(IntegrityCheck(db.path()), "ok");
  for (const auto& [rowid, v] : ActualByRow(db.path(), "t")) {
    EXPECT_TRUE(v.IsNumber()) << rowid << ": " << v.Describe();
  }
}

}  // namespace
}  // namespace kelda::faults
