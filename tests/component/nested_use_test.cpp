// Host code run at a training run's yields calls the component on the same
// thread; nothing it does there may change the run under way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "component/network.h"
#include "component/network_file.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda {
namespace {

using ::testing::HasSubstr;

constexpr const char* kTables =
    "CREATE TABLE t(a REAL, b REAL, y REAL);"
    "INSERT INTO t VALUES (1, 4, 6), (2, 5, 9), (3, 6, 12), (4, 4, 12), (2.5, 4.5, NULL);"
    "CREATE TABLE u(p REAL, q REAL, z REAL);"
    "INSERT INTO u VALUES (5, 1, 0.5), (7, 3, 0.25), (9, 2, 1);";

void Point(Network& net, const test::TempDb& db, const char* table, int32_t epochs) {
  net.SetMSAccessDBName(db.path());
  net.SetMSAccessTableName(table);
  net.SetEpochs(epochs);
}

// What a run leaves: the predictions in t, then every weight of the network.
struct Outcome {
  std::vector<double> actual;
  std::vector<double> weights;
};

// On a fresh copy of the tables: `other` trains on u, then `net` on t with
// `at_yield` run at each of its yields (with `net` and `other`).
Outcome Train(const std::function<void(Network& net, Network& other)>& at_yield) {
  test::TempDb db(kTables);
  Network other;
  Point(other, db, "u", 3);
  other.RunNetwork();
  Network net;
  Point(net, db, "t", 25);
  ThreadBlock& block = ThisThread();
  // Once at a time: a nested run served would reach its own yields.
  bool inside = false;
  ScopedThreadSettings settings;
  if (at_yield) {
    settings.SetYield([&] {
      if (inside) return;
      inside = true;
      at_yield(net, other);
      inside = false;
    });
  }
  net.RunNetwork();

  Outcome out;
  for (const test::Row& row : db.Query("SELECT Actual FROM t ORDER BY rowid")) {
    out.actual.push_back(row.at(0).ToDouble());
  }
  for (int layer = 2; layer <= 3; ++layer) {
    for (int to = 1; to <= block.network.LayerUnits(layer); ++to) {
      for (int from = 1; from <= block.network.LayerUnits(layer - 1); ++from) {
        out.weights.push_back(block.network.Weight(from, to, layer));
      }
    }
  }
  return out;
}

struct Nesting {
  const char* name;
  std::function<void(Network& net, Network& other)> at_yield;
  int32_t error;  // what the call at the yield raises, 0 for none
};

void PrintTo(const Nesting& nesting, std::ostream* os) { *os << nesting.name; }

class NestedUseTest : public ::testing::TestWithParam<Nesting> {
 protected:
  ScopedThreadSettings seed_{11, nullptr};
};

TEST_P(NestedUseTest, LeavesTheRunAsWithoutIt) {
  const Outcome plain = Train(nullptr);
  int yields = 0;
  std::vector<Error> raised;
  const Outcome nested = Train([&](Network& net, Network& other) {
    ++yields;
    if (auto e = test::RaisedBy([&] { GetParam().at_yield(net, other); })) raised.push_back(*e);
  });

  EXPECT_EQ(nested.actual, plain.actual);
  EXPECT_EQ(nested.weights, plain.weights);
  ASSERT_GT(yields, 0);
  if (GetParam().error == 0) {
    EXPECT_TRUE(raised.empty()) << raised.front().Description();
  } else {
    ASSERT_EQ(raised.size(), static_cast<size_t>(yields));
    for (const Error& e : raised) EXPECT_EQ(e.Number(), GetParam().error);
    EXPECT_THAT(raised.front().Description(), HasSubstr("while RunNetwork is in progress"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    AtTheYields, NestedUseTest,
    ::testing::Values(
        // Its reset of the learning parameters waits for the run's end.
        Nesting{"CreatesAnObject", [](Network&, Network&) { Network extra; }, 0},
        Nesting{"RunsAnotherObject", [](Network&, Network& other) { other.RunNetwork(); },
                kErrInvalidOperation},
        Nesting{"RunsTheRunningObject", [](Network& net, Network&) { net.RunNetwork(); },
                kErrInvalidOperation},
        Nesting{"ScoresInputs", [](Network&, Network& other) { other.InputRelevance(); },
                kErrInvalidOperation},
        // What reads the network but does not change it is served.
        Nesting{"ShowsStatusAndSaves",
                [](Network& net, Network&) {
                  net.ShowStatus();
                  CaptureNetwork(net);
                },
                0}),
    [](const ::testing::TestParamInfo<Nesting>& info) { return std::string(info.param.name); });

TEST(NestedUse, ObjectCreatedDuringARunResetsTheParametersWhenItEnds) {
  ScopedThreadSettings settings(11, nullptr);
  ThreadBlock& block = ThisThread();
  test::TempDb db(kTables);
  Network net;
  Point(net, db, "t", 3);
  float rate_in_run = 0.0f;
  settings.SetYield([&] {
    Network extra;
    rate_in_run = block.network.LearningRate;
  });
  net.RunNetwork();
  EXPECT_EQ(rate_in_run, 0.15f);  // the run's own
  EXPECT_EQ(block.network.LearningRate, 1.0f);
  EXPECT_EQ(block.network.InitialTemperature, 5.0f);

  // Also when the run ends by an error; the thread is then free again.
  settings.SetYield([&] {
    Network extra;
    Raise(kErrUserInterrupt);
  });
  EXPECT_EQ(test::ErrorNumberOf([&] { net.RunNetwork(); }), kErrUserInterrupt);
  EXPECT_EQ(block.network.LearningRate, 1.0f);
  settings.SetYield(nullptr);
  net.RunNetwork();
  EXPECT_THAT(net.InputRelevance(), ::testing::Optional(::testing::SizeIs(2)));
}

}  // namespace
}  // namespace kelda
