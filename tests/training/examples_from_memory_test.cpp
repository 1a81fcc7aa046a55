// Epochs after the first take the examples from memory while no other
// program changes the file; a change is read from the next epoch on, exactly
// as if every epoch read the table.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "status/headless_renderer.h"
#include "support/temp_db.h"
#include "training/training_run.h"

namespace kelda::training {
namespace {

constexpr int32_t kEpochs = 25;

std::string Table() {
  std::string sql = "CREATE TABLE side(x); CREATE TABLE t(a REAL, b REAL, y REAL, Actual REAL);";
  for (int i = 1; i <= 40; ++i) {
    sql += "INSERT INTO t(a, b, y) VALUES (" + std::to_string(i % 7) + ", " +
           std::to_string((i * 3) % 11) + ", " + std::to_string((i * 5) % 13) + ");";
  }
  return sql;
}

struct Outcome {
  std::vector<double> actual;
  std::vector<double> weights;
};

// Trains on a fresh copy of the table. At the yield that opens epoch
// `change_at`, another connection changes one target; with `touch_every_epoch`
// it also writes to another table at every epoch, so that no epoch can take
// its examples from memory.
Outcome Train(int change_at, bool touch_every_epoch) {
  test::TempDb db(Table());
  test::RawDb other(db.path());
  auto net = std::make_unique<engine::NetworkState>();
  engine::ClassInitialize(*net);
  net->FixedSeed = 5;
  data::DBEngine engine;
  status::StatusWindow window{std::make_unique<status::HeadlessRenderer>()};
  RunProgress progress;
  int32_t seen = 0;
  YieldHook yield = [&] {
    if (progress.epoch == seen) return;
    seen = progress.epoch;
    if (seen == change_at) other.Exec("UPDATE t SET y = 20 WHERE rowid = 7");
    if (touch_every_epoch) other.Exec("INSERT INTO side VALUES (1)");
  };
  ObjectFields fields;
  fields.MSAccessDBName = db.path();
  fields.MSAccessTableName = "t";
  fields.Epochs = kEpochs;
  ThreadServices thread{*net, engine, window, yield, YieldUse::kMayWriteDatabase, progress};
  RunNetwork(thread, fields);

  Outcome out;
  for (const test::Row& row : db.Query("SELECT Actual FROM t ORDER BY rowid")) {
    out.actual.push_back(row.at(0).number());
  }
  for (int i = 1; i <= 3; ++i) {
    for (int j = 1; j <= 20; ++j) out.weights.push_back(net->Weight(i, j, 2));
  }
  return out;
}

TEST(ExamplesFromMemory, GiveWhatReadingEveryEpochGives) {
  for (const int change_at : {0, 4, 11}) {
    SCOPED_TRACE("target changed in epoch " + std::to_string(change_at));
    const Outcome memory = Train(change_at, false);
    const Outcome read = Train(change_at, true);
    EXPECT_EQ(memory.actual, read.actual);
    EXPECT_EQ(memory.weights, read.weights);
  }
  // The change does reach the network.
  EXPECT_NE(Train(4, false).weights, Train(0, false).weights);
}

}  // namespace
}  // namespace kelda::training
