#include "component/network.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "engine/engine.h"
#include "relevance/input_relevance.h"
#include "support/raised.h"
#include "support/temp_db.h"
#include "training/prediction.h"
#include "training/run_setup.h"

namespace kelda {
namespace {

using ::testing::ElementsAre;

// Three examples of y = 2a + b, then a row to be predicted.
constexpr const char* kSmallTable =
    "CREATE TABLE t(a REAL, b REAL, y REAL);"
    "INSERT INTO t VALUES (1, 4, 6), (2, 5, 9), (3, 6, 12), (2.5, 4.5, NULL);";

class NetworkTest : public ::testing::Test {
 protected:
  // A Network on `db` / table t.
  static void Point(Network& net, const test::TempDb& db, int32_t epochs) {
    net.SetMSAccessDBName(db.path());
    net.SetMSAccessTableName("t");
    net.SetEpochs(epochs);
  }

  std::vector<Value> Actuals(const test::TempDb& db) {
    std::vector<Value> out;
    for (const test::Row& row : db.Query("SELECT Actual FROM t ORDER BY a")) {
      out.push_back(row.at(0));
    }
    return out;
  }

  ThreadBlock& block_ = ThisThread();
  // Each test starts with seed 11 and no hook; a hook it sets goes with the
  // fixture.
  ScopedThreadSettings settings_{11, nullptr};
};

TEST_F(NetworkTest, FreshObjectAndPlainProperties) {
  Network net;
  EXPECT_EQ(net.MSAccessDBName(), "");
  EXPECT_EQ(net.MSAccessTableName(), "");
  EXPECT_EQ(net.Epochs(), 0);
  EXPECT_EQ(net.HiddenLayerCount(), 0);
  net.SetEpochs(-7);
  net.SetHiddenLayerCount(-3);
  net.SetMSAccessTableName("no such; table");
  EXPECT_EQ(net.Epochs(), -7);
  EXPECT_EQ(net.HiddenLayerCount(), -3);
  EXPECT_EQ(net.MSAccessTableName(), "no such; table");
  EXPECT_TRUE(net.ShowStatus().IsEmpty());
  EXPECT_FALSE(net.InputRelevance().has_value());  // no database named
}

TEST_F(NetworkTest, ReportEpochsAreTheFirstAndEveryTenth) {
  test::TempDb db(kSmallTable);
  Network net;
  Point(net, db, 25);
  std::vector<std::pair<int32_t, std::string>> seen;  // epoch, cycle text at each yield
  block_.yield = [&] {
    seen.emplace_back(block_.progress.epoch, block_.status.Form().CycleBoxCaption());
  };
  net.RunNetwork();
  std::set<std::string> cycle_texts;
  int reports = 0;
  for (size_t i = 1; i < seen.size(); ++i) {
    // A yield that is not an epoch's first comes after a report.
    if (seen[i].first == seen[i - 1].first) {
      ++reports;
      cycle_texts.insert(seen[i].second);
    }
  }
  EXPECT_EQ(reports, 9);  // three examples in each of epochs 1, 10 and 20
  EXPECT_THAT(cycle_texts, ElementsAre(" Cycle 1", " Cycle 10", " Cycle 20"));
  EXPECT_EQ(block_.status.Form().CycleBoxCaption(), " Training Complete");
  EXPECT_EQ(net.HiddenLayerCount(), 20);
  EXPECT_EQ(block_.network.CurrentPattern, 3);
  // Every row, the Null-target one too, holds a prediction.
  for (const Value& v : Actuals(db)) EXPECT_TRUE(v.IsNumber()) << v.Describe();
}

TEST_F(NetworkTest, NullTargetEndsEveryPassButItsRowIsPredicted) {
  test::TempDb db(
      "CREATE TABLE t(a REAL, y REAL);"
      "INSERT INTO t VALUES (1, 1), (2, 4), (3, NULL), (4, 16);");
  Network net;
  Point(net, db, 3);
  net.RunNetwork();
  EXPECT_EQ(block_.network.CurrentPattern, 2);
  for (const Value& v : Actuals(db)) EXPECT_TRUE(v.IsNumber()) << v.Describe();
}

class NoEpochs : public NetworkTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(NoEpochs, WritesTheUntrainedNetworksPredictions) {
  test::TempDb db(kSmallTable);
  Network net;
  Point(net, db, GetParam());
  net.RunNetwork();
  const std::vector<Value> actual = Actuals(db);
  ASSERT_EQ(actual.size(), 4u);
  for (const Value& v : actual) EXPECT_TRUE(v.IsNumber());
  EXPECT_EQ(block_.status.Form().CycleBoxCaption(), " Training Complete");

  // The stored values are those of the freshly initialised network.
  engine::NetworkState fresh;
  engine::ClassInitialize(fresh);
  fresh.FixedSeed = 11;
  engine::InitWeights(fresh);
  ASSERT_EQ(block_.network.Weight(3, 7, 2), fresh.Weight(3, 7, 2));
}

INSTANTIATE_TEST_SUITE_P(ZeroAndNegative, NoEpochs, ::testing::Values(0, -5), [](const auto& info) {
  return info.param < 0 ? "EpochsMinus" + std::to_string(-info.param)
                        : "Epochs" + std::to_string(info.param);
});

TEST_F(NetworkTest, ConvergenceEndsTrainingEarly) {
  // Every example sits in the middle of the target's range (the rows after
  // the Null target set it), where an output of about one half fits: a report
  // epoch's whole pass soon fits, and the run stops there.
  test::TempDb db(
      "CREATE TABLE t(a REAL, y REAL);"
      "INSERT INTO t VALUES (0.5, 5), (0.25, 5), (0.75, 5), (0.6, NULL), (0, 0), (1, 10);");
  Network net;
  Point(net, db, 400);
  int32_t last_epoch = 0;
  block_.yield = [&] { last_epoch = block_.progress.epoch; };
  net.RunNetwork();
  EXPECT_LT(last_epoch, 400);
  EXPECT_EQ(block_.status.Form().CycleBoxCaption(), " Training Complete");
}

TEST_F(NetworkTest, SecondObjectResetsTheThreadsParametersButKeepsTheWeights) {
  test::TempDb db(kSmallTable);
  Network first;
  Point(first, db, 2);
  first.RunNetwork();
  EXPECT_EQ(block_.network.LearningRate, 0.15f);
  const double weight = block_.network.Weight(1, 1, 2);

  Network second;
  EXPECT_EQ(block_.network.LearningRate, 1.0f);
  EXPECT_EQ(block_.network.Momentum, 0.5f);
  EXPECT_EQ(block_.network.InitialTemperature, 5.0f);
  EXPECT_EQ(block_.network.Weight(1, 1, 2), weight);
}

TEST_F(NetworkTest, ThreadsDoNotShareTheNetwork) {
  test::TempDb db(kSmallTable);
  Network net;
  Point(net, db, 2);
  net.RunNetwork();
  const double weight = block_.network.Weight(2, 3, 2);

  int16_t other_layer_units = -1;
  float other_rate = -1;
  std::thread other([&] {
    Network there;  // resets the parameters of its own thread only
    other_layer_units = ThisThread().network.LayerUnits(1);
    other_rate = ThisThread().network.LearningRate;
  });
  other.join();
  EXPECT_EQ(other_layer_units, 0);
  EXPECT_EQ(other_rate, 1.0f);
  EXPECT_EQ(block_.network.LearningRate, 0.15f);
  EXPECT_EQ(block_.network.Weight(2, 3, 2), weight);
}

TEST_F(NetworkTest, WrongDatabaseFailsAndLeavesTheObjectUsable) {
  test::TempDb db(kSmallTable);
  Network net;
  Point(net, db, 1);
  net.SetMSAccessDBName(db.File("missing.db"));
  EXPECT_EQ(test::ErrorNumberOf([&] { net.RunNetwork(); }), 3024);
  net.SetMSAccessDBName("");
  EXPECT_EQ(test::ErrorNumberOf([&] { net.RunNetwork(); }), 3024);
  net.SetMSAccessDBName(db.path());
  net.RunNetwork();
}

TEST_F(NetworkTest, RelevanceBeforeTrainingIsASubscriptError) {
  test::TempDb db(kSmallTable);
  Network net;
  Point(net, db, 1);
  EXPECT_EQ(test::ErrorNumberOf([&] { net.InputRelevance(); }), kErrSubscript);
}

// The rows are written by rowid, or through the cursor where the table has
// none.
class RelevanceTest : public NetworkTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RelevanceTest, ScoresAndRestoresThePredictions) {
  test::TempDb db(GetParam());
  Network net;
  Point(net, db, 30);
  net.RunNetwork();
  const std::vector<Value> trained = Actuals(db);

  // The scores worked out independently: reference levels are the column
  // sums over the example rows divided by the number of inputs, (6 / 2, 15 /
  // 2); each row's prediction with one input at the bottom of its range is
  // compared with its target and that level.
  const training::ObjectFields& f = net.Fields();
  const double inputs[3][2] = {{1, 4}, {2, 5}, {3, 6}};
  const double targets[3] = {6, 9, 12};
  const double reference[2] = {3.0, 7.5};
  engine::NetworkState copy = block_.network;
  std::vector<double> expected(2, 0.0);
  for (int i = 0; i < 2; ++i) {
    for (int r = 0; r < 3; ++r) {
      for (int j = 0; j < 2; ++j) {
        copy.Activation(j + 1, 1) = j == i ? 0.0 : training::ScaleInput(f, j + 1, inputs[r][j]);
      }
      engine::ForwardPass(copy);
      const double a =
          training::StoredPrediction(training::UnscaleOutput(f, copy.Activation(1, 3)));
      expected[i] += relevance::RowScore(reference[i], a, targets[r]);
    }
  }

  const std::optional<std::vector<double>> scores = net.InputRelevance();
  ASSERT_TRUE(scores.has_value());
  EXPECT_EQ(*scores, expected);
  EXPECT_EQ(Actuals(db), trained);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, RelevanceTest,
    ::testing::Values(kSmallTable,
                      "CREATE TABLE t(a REAL PRIMARY KEY, b REAL, y REAL) WITHOUT ROWID;"
                      "INSERT INTO t VALUES (1, 4, 6), (2, 5, 9), (3, 6, 12), (3.5, 4.5, NULL);"),
    [](const ::testing::TestParamInfo<const char*>& info) {
      return std::string(info.index == 0   ? "RowidTable"
                         : info.index == 1 ? "WithoutRowid"
                                           : "TextActual");
    });

}  // namespace
}  // namespace kelda
