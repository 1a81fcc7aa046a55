// When a training run ends: after every epoch asked for, or at the end of a
// report epoch whose whole pass fits.
#include "training/training_run.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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
  ThreadServices thread{*net_, engine_, window_, yield_, progress_};
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

}  // namespace
}  // namespace kelda::training
