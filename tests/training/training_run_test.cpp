// When a training run ends: after every epoch asked for, or at the end of a
// report epoch whose whole pass fits.
#include "training/training_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "engine/engine.h"
#include "status/headless_renderer.h"
#include "support/temp_db.h"

namespace kelda::training {
namespace {

struct Ending {
  const char* name;
  const char* table_sql;  // table t
  int32_t epochs;
  bool converged;
  int16_t examples;  // CurrentPattern after the run
};

void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

class RunEndTest : public ::testing::TestWithParam<Ending> {
 protected:
  RunEndTest() : db_(GetParam().table_sql) {
    engine::ClassInitialize(*net_);
    net_->FixedSeed = 11;
    fields_.MSAccessDBName = db_.path();
    fields_.MSAccessTableName = "t";
    fields_.Epochs = GetParam().epochs;
  }

  test::TempDb db_;
  std::unique_ptr<engine::NetworkState> net_ = std::make_unique<engine::NetworkState>();
  data::DBEngine engine_;
  status::StatusWindow window_{std::make_unique<status::HeadlessRenderer>()};
  YieldHook yield_;
  RunProgress progress_;
  training::ObjectFields fields_;
};

TEST_P(RunEndTest, EndsAfterAWholePassFitsOrAfterEveryEpoch) {
  const Ending& e = GetParam();
  // The weights as they stood at each yield: during a pass they are fixed.
  std::vector<double> weight_at_yield;
  yield_ = [&] { weight_at_yield.push_back(net_->Weight(1, 1, 3)); };
  ThreadServices thread{*net_, engine_, window_, yield_, YieldUse::kMayWriteDatabase, progress_};
  RunNetwork(thread, fields_);

  EXPECT_EQ(progress_.converged, e.converged);
  EXPECT_EQ(net_->CurrentPattern, e.examples);
  EXPECT_EQ(window_.Form().CycleBoxCaption(), " Training Complete");
  ASSERT_FALSE(weight_at_yield.empty());
  if (e.converged) {
    EXPECT_LT(progress_.epoch, e.epochs);
    EXPECT_TRUE(progress_.epoch == 1 || progress_.epoch % 10 == 0) << progress_.epoch;
    EXPECT_TRUE(Converged(net_->ErrorSum)) << net_->ErrorSum;
    // The epoch that fitted made no weight update.
    EXPECT_EQ(net_->Weight(1, 1, 3), weight_at_yield.back());
  } else {
    EXPECT_EQ(progress_.epoch, e.epochs);
  }
  // Every row, those after a Null target too, holds a final prediction.
  for (const test::Row& row : db_.Query("SELECT Actual FROM t")) {
    EXPECT_TRUE(row[0].IsNumber()) << row[0].Describe();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Passes, RunEndTest,
    ::testing::Values(
        // The first example lies mid-range, where the untrained network's
        // output already fits it; the other two do not fit.
        Ending{"FirstExampleFitsTheOthersDoNot",
               "CREATE TABLE t(a REAL, y REAL);"
               "INSERT INTO t VALUES (0.5, 5), (0, 0), (1, 10);",
               30, false, 3},
        // Every example's target lies mid-range; rows after the Null target
        // widen the range but are not trained on.
        Ending{"WholePassFits",
               "CREATE TABLE t(a REAL, y REAL);"
               "INSERT INTO t VALUES (1, 5), (2, 5), (3, 5), (4, 5), (2.5, NULL), (0, 0), (5, 10);",
               400, true, 4},
        // No example: the pass's sum stays 0, but an empty pass is no fit.
        Ending{"NoExampleMakesNoTest",
               "CREATE TABLE t(a REAL, y REAL);"
               "INSERT INTO t VALUES (1, NULL), (0, 0), (5, 10);",
               12, false, 0}),
    [](const ::testing::TestParamInfo<Ending>& info) { return std::string(info.param.name); });

// Twenty examples; `side` is a table for other programs to write to.
constexpr const char* kTwentyRows =
    "CREATE TABLE t(a REAL, b REAL, y REAL, Actual REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20)"
    "  INSERT INTO t(a, b, y) SELECT i, i % 7, i * 0.5 FROM n;"
    "CREATE TABLE side(x);";

// A window toolkit whose message loop always has the host's messages waiting.
class HostMessagesRenderer final : public status::Renderer {
 public:
  explicit HostMessagesRenderer(std::function<void()> host) : host_(std::move(host)) {}
  void Present(const status::frmStatus&) override {}
  void PumpOnce() override { host_(); }
  bool MessagesWaiting() override { return true; }
  bool ConsumeUserClose() override { return false; }

 private:
  std::function<void()> host_;
};

// Runs `epochs` epochs on `db`'s table t with seed 11.
struct GroupedRun {
  GroupedRun(const test::TempDb& db, int32_t epochs) {
    engine::ClassInitialize(*net);
    net->FixedSeed = 11;
    fields.MSAccessDBName = db.path();
    fields.MSAccessTableName = "t";
    fields.Epochs = epochs;
  }
  void Run(status::StatusWindow& window, const YieldHook& yield, YieldUse use) {
    ThreadServices thread{*net, engine, window, yield, use, progress};
    RunNetwork(thread, fields);
  }
  std::unique_ptr<engine::NetworkState> net = std::make_unique<engine::NetworkState>();
  data::DBEngine engine;
  RunProgress progress;
  ObjectFields fields;
};

// Host code runs at a report epoch's yields either in the host's hook or in
// the handlers of the host's own windows. Wherever it runs, another
// connection that will not wait for a lock writes at once and sees every
// prediction stored so far.
class HostCodeAtYieldTest : public ::testing::TestWithParam<bool> {};

TEST_P(HostCodeAtYieldTest, FindsNoLockAndEveryEarlierPredictionCommitted) {
  const bool in_hook = GetParam();
  test::TempDb db(kTwentyRows);
  test::RawDb other(db.path());
  sqlite3_busy_timeout(other.get(), 0);
  GroupedRun run(db, 3);
  std::vector<double> stored_at_yield;
  const std::function<void()> host = [&] {
    if (run.progress.epoch != 1) return;
    EXPECT_EQ(other.TryExec("INSERT INTO side VALUES (1)"), SQLITE_OK);
    stored_at_yield.push_back(
        other.Scalar("SELECT count(*) FROM t WHERE Actual IS NOT NULL").ToDouble());
  };
  status::StatusWindow window{
      in_hook ? std::unique_ptr<status::Renderer>(std::make_unique<status::HeadlessRenderer>())
              : std::make_unique<HostMessagesRenderer>(host)};
  run.Run(window, in_hook ? host : nullptr,
          in_hook ? YieldUse::kMayWriteDatabase : YieldUse::kLeavesDatabaseAlone);

  std::vector<double> expected;  // the epoch's first yield, then one after each example
  for (int stored = 0; stored <= 20; ++stored) expected.push_back(stored);
  EXPECT_EQ(stored_at_yield, expected);
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostCodeAtYieldTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "InTheHook" : "InTheHostsWindows");
                         });

// A row refused in the middle of the second report epoch (its seventh
// update; a trigger counts them) ends the run. Grouped or committed row by
// row, the table ends the same: the six rows before it hold that epoch's
// predictions, committed, and the rest their first epoch's.
TEST(ReportEpochGroups, AnErrorLeavesTheRowsBeforeItCommittedAsRowByRow) {
  struct Outcome {
    int number = 0;
    std::vector<test::Row> rows;
  };
  const auto train = [](std::chrono::milliseconds window_ms) {
    test::TempDb db(std::string(kTwentyRows) +
                    "CREATE TABLE cnt(n); INSERT INTO cnt VALUES (0);"
                    "CREATE TRIGGER c AFTER UPDATE OF Actual ON t BEGIN"
                    "  UPDATE cnt SET n = n + 1; END;"
                    "CREATE TRIGGER f BEFORE UPDATE OF Actual ON t WHEN (SELECT n FROM cnt) = 26"
                    "  BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    GroupedRun run(db, 12);
    run.engine.SetCommitWindow(window_ms);
    status::StatusWindow window{std::make_unique<status::HeadlessRenderer>()};
    Outcome out;
    try {
      run.Run(window, nullptr, YieldUse::kLeavesDatabaseAlone);
    } catch (const Error& e) {
      out.number = e.Number();
    }
    EXPECT_EQ(run.progress.epoch, 10);
    EXPECT_EQ(db.Scalar("SELECT n FROM cnt").ToDouble(), 26);
    out.rows = db.Query("SELECT Actual FROM t ORDER BY rowid");
    return out;
  };
  const Outcome grouped = train(std::chrono::milliseconds(200));
  const Outcome row_by_row = train(std::chrono::milliseconds(0));
  EXPECT_NE(grouped.number, 0);
  EXPECT_EQ(grouped.number, row_by_row.number);
  ASSERT_EQ(grouped.rows.size(), 20u);
  for (size_t r = 0; r < grouped.rows.size(); ++r) {
    EXPECT_TRUE(grouped.rows[r] == row_by_row.rows[r])
        << "row " << r + 1 << ": " << grouped.rows[r][0].Describe() << " vs "
        << row_by_row.rows[r][0].Describe();
  }
}

}  // namespace
}  // namespace kelda::training
