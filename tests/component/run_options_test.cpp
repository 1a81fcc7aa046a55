// The options of one long call: seed, progress, cancel and the database's
// timeouts, through the public headers alone, as a host program uses them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "kelda/network.h"
#include "kelda/network_file.h"
#include "kelda/run_options.h"
#include "kelda/status_window.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda {
namespace {

using std::chrono::milliseconds;
using ::testing::StartsWith;

// `examples` examples of y = 2a + b, then two rows to be predicted.
std::string Table(int examples) {
  return "CREATE TABLE t(a REAL, b REAL, y REAL);"
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
         std::to_string(examples) +
         ")"
         "  INSERT INTO t SELECT i % 7, i % 5, 2 * (i % 7) + i % 5 FROM n;"
         "INSERT INTO t VALUES (2.5, 1.5, NULL), (4, 4, NULL);";
}
const std::string kTable = Table(40);

void Point(Network& net, const test::TempDb& db, int32_t epochs, const char* table = "t") {
  net.SetMSAccessDBName(db.path());
  net.SetMSAccessTableName(table);
  net.SetEpochs(epochs);
}

std::vector<uint64_t> ActualBits(const test::TempDb& db, const char* table = "t") {
  std::vector<uint64_t> out;
  for (const test::Row& row : db.Query(std::string("SELECT Actual FROM ") + table)) {
    out.push_back(row.at(0).IsNull() ? 0xdeadu : std::bit_cast<uint64_t>(row.at(0).number()));
  }
  return out;
}

bool Intact(const test::TempDb& db) { return db.Scalar("PRAGMA integrity_check").text() == "ok"; }

// A cancel check that answers true from its n-th call on.
std::function<bool()> TrueFromCall(int n) {
  return [calls = 0, n]() mutable { return ++calls >= n; };
}

// What the thread's settings are, to see that a call puts them back.
struct ThreadState {
  std::optional<uint64_t> seed;
  training::YieldUse use;
  bool has_yield;
  bool has_check;
  milliseconds busy_timeout;
  milliseconds commit_window;
  friend bool operator==(const ThreadState&, const ThreadState&) = default;
};

ThreadState StateNow() {
  ThreadBlock& block = ThisThread();
  data::DBEngine& engine = block.DBEngine();
  return ThreadState{block.network.FixedSeed,        block.yield_use,
                     static_cast<bool>(block.yield), static_cast<bool>(engine.GetInterruptCheck()),
                     engine.BusyTimeout(),           engine.CommitWindow()};
}

// The bits a seeded run stores, however the options that cannot change the
// arithmetic are set.
struct SameBitsCase {
  const char* name;
  std::function<void(RunOptions&)> set;
};

void PrintTo(const SameBitsCase& c, std::ostream* os) { *os << c.name; }

class SameBits : public ::testing::TestWithParam<SameBitsCase> {};

TEST_P(SameBits, AsTheThreadsFixedSeedGives) {
  test::TempDb db(kTable);
  std::vector<uint64_t> expected;
  {
    ScopedThreadSettings seeded(7, nullptr);
    Network net;
    Point(net, db, 30);
    net.RunNetwork();
    expected = ActualBits(db);
  }
  const ThreadState before = StateNow();
  Network net;
  Point(net, db, 30);
  RunOptions options;
  options.seed = 7;
  GetParam().set(options);
  net.RunNetwork(options);
  EXPECT_EQ(ActualBits(db), expected);
  EXPECT_EQ(net.EpochsRun(), 30);
  EXPECT_EQ(StateNow(), before);

  options.seed = 8;
  net.RunNetwork(options);
  EXPECT_NE(ActualBits(db), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SameBits,
    ::testing::Values(SameBitsCase{"SeedAlone", [](RunOptions&) {}},
                      SameBitsCase{"EveryRowItsOwnCommit",
                                   [](RunOptions& o) { o.commit_window = milliseconds(0); }},
                      SameBitsCase{"LongCommitWindow",
                                   [](RunOptions& o) { o.commit_window = milliseconds(5000); }},
                      SameBitsCase{"ProgressThatMayWrite",
                                   [](RunOptions& o) { o.progress = [](const RunProgress&) {}; }},
                      SameBitsCase{"ProgressThatLeavesTheFile",
                                   [](RunOptions& o) {
                                     o.progress = [](const RunProgress&) {};
                                     o.progress_writes_database = false;
                                   }},
                      SameBitsCase{"UncancelledToken",
                                   [](RunOptions& o) { o.cancel = CancelToken(); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunProgressTest, EpochsRiseAndTextsAreThisRunsOnly) {
  test::TempDb db(kTable);
  Network net;
  Point(net, db, 25);
  RunOptions options;
  options.seed = 3;
  net.RunNetwork(options);  // leaves its own texts in the thread's window
  const StatusTexts earlier = CurrentStatusTexts();
  ASSERT_EQ(earlier.cycle_text, "Training Complete");

  std::vector<RunProgress> seen;
  options.progress = [&seen](const RunProgress& p) { seen.push_back(p); };
  net.RunNetwork(options);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().epoch, 0);  // set-up
  EXPECT_EQ(seen.back().epoch, 25);
  bool reported = false;
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].epochs, 25);
    if (i > 0) {
      EXPECT_GE(seen[i].epoch, seen[i - 1].epoch);
    }
    // The first report comes with the first example of epoch 1.
    reported = reported || (seen[i].epoch == 1 && i > 0 && seen[i - 1].epoch == 1);
    if (!reported) {
      EXPECT_EQ(seen[i].cycle_text, "");
      EXPECT_EQ(seen[i].error_text, "");
    } else {
      EXPECT_THAT(seen[i].cycle_text, StartsWith("Cycle "));
      EXPECT_THAT(seen[i].error_text, StartsWith("RMS Error: "));
    }
  }
  EXPECT_TRUE(reported);
  EXPECT_EQ(seen.back().cycle_text, "Cycle 20");
  EXPECT_EQ(net.EpochsRun(), 25);
  EXPECT_FALSE(net.Converged());
}

struct CallbackStop : std::runtime_error {
  using std::runtime_error::runtime_error;
};

TEST(RunProgressTest, ACallbackThatThrowsStopsTheRunWithItsOwnException) {
  test::TempDb db(kTable);
  // The thread's own hook (a host's message loop) runs at the run's yields
  // as before, and is the thread's again afterwards.
  int host_yields = 0;
  ScopedThreadSettings host(std::nullopt, [&host_yields] { ++host_yields; });
  const ThreadState before = StateNow();

  Network net;
  Point(net, db, 1000);
  RunOptions options;
  options.seed = 5;
  options.busy_timeout = milliseconds(100);
  options.commit_window = milliseconds(0);
  options.cancel = CancelToken();
  int calls = 0;
  options.progress = [&calls](const RunProgress& p) {
    ++calls;
    if (p.epoch == 3) throw CallbackStop("enough at " + std::to_string(p.epoch));
  };
  try {
    net.RunNetwork(options);
    FAIL() << "the run did not stop";
  } catch (const CallbackStop& e) {
    EXPECT_STREQ(e.what(), "enough at 3");
  }
  EXPECT_EQ(net.EpochsRun(), 3);
  EXPECT_FALSE(net.Converged());
  EXPECT_EQ(host_yields, calls);
  EXPECT_EQ(StateNow(), before);
  const int yields_after_run = host_yields;
  ThisThread().yield();
  EXPECT_EQ(host_yields, yields_after_run + 1);
  EXPECT_TRUE(Intact(db));
  // The file takes the next run as before.
  net.SetEpochs(2);
  net.RunNetwork();
  EXPECT_EQ(net.EpochsRun(), 2);
}

TEST(RunProgressTest, ACallFromTheCallbackIsRefusedAndChangesNothing) {
  test::TempDb db(kTable);
  Network net;
  Point(net, db, 2);
  net.RunNetwork();
  Network other;
  Point(other, db, 2);
  other.RunNetwork();
  RunOptions options;
  options.busy_timeout = milliseconds(700);
  int calls = 0;
  int refused = 0;
  options.progress = [&](const RunProgress&) {
    ++calls;
    const ThreadState during = StateNow();
    RunOptions inner;
    inner.seed = 1;
    inner.busy_timeout = milliseconds(1);
    inner.cancel = [] { return true; };
    refused += test::ErrorNumberOf([&] { other.RunNetwork(inner); }) == kErrInvalidOperation;
    refused += test::ErrorNumberOf([&] { other.InputRelevance(inner); }) == kErrInvalidOperation;
    EXPECT_EQ(StateNow(), during);
  };
  const ThreadState before = StateNow();
  Network first;
  Point(first, db, 4);
  first.RunNetwork(options);
  EXPECT_GT(calls, 0);
  EXPECT_EQ(refused, 2 * calls);
  EXPECT_EQ(other.EpochsRun(), 2);
  EXPECT_EQ(first.EpochsRun(), 4);
  EXPECT_EQ(StateNow(), before);
}

TEST(RunProgressTest, ConvergedTellsAnEarlyEnd) {
  test::TempDb db(
      "CREATE TABLE t(a REAL, y REAL);"
      "INSERT INTO t VALUES (0.5, 5), (0.25, 5), (0.75, 5), (0.6, NULL), (0, 0), (1, 10);");
  Network net;
  Point(net, db, 100000);
  RunOptions options;
  options.seed = 11;
  net.RunNetwork(options);
  EXPECT_TRUE(net.Converged());
  EXPECT_LT(net.EpochsRun(), 100000);
  EXPECT_GT(net.EpochsRun(), 0);
}

TEST(CancelTest, ATokenCancelledFromAnotherThreadEndsTheRun) {
  test::TempDb db(kTable);
  const ThreadState before = StateNow();
  Network net;
  Point(net, db, 100000000);
  CancelToken token;
  std::atomic<int32_t> epoch{0};
  RunOptions options;
  options.seed = 2;
  options.cancel = token;
  options.progress = [&epoch](const RunProgress& p) { epoch = p.epoch; };
  options.progress_writes_database = false;
  std::thread canceller([&epoch, token] {
    while (epoch < 30) std::this_thread::sleep_for(milliseconds(1));
    token.Cancel();
  });
  const std::optional<Error> e = test::RaisedBy([&] { net.RunNetwork(options); });
  canceller.join();
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrUserInterrupt);
  EXPECT_GE(net.EpochsRun(), 30);
  EXPECT_LT(net.EpochsRun(), 100000000);
  EXPECT_FALSE(net.Converged());
  EXPECT_EQ(StateNow(), before);
  EXPECT_TRUE(Intact(db));
}

// A table whose every stored prediction is one long statement: a trigger
// counts over a large cross join.
const std::string kSlowWrites = Table(40) +
                                "CREATE TABLE k(x INTEGER);"
                                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                "  WHERE i < 6000) INSERT INTO k SELECT i FROM n;"
                                "CREATE TABLE side(c INTEGER); INSERT INTO side VALUES (0);"
                                "ALTER TABLE t ADD COLUMN Actual REAL;"
                                "CREATE TRIGGER slow AFTER UPDATE OF Actual ON t BEGIN"
                                "  UPDATE side SET c = (SELECT count(*) FROM k a, k b"
                                "                       WHERE (a.x * b.x) % 7 = 3);"
                                "END;";

TEST(CancelTest, StopsALongStatementOfTheRun) {
  test::TempDb db(kSlowWrites);
  CancelToken token;
  // The thread's own hook runs at each yield before the cancel is asked: it
  // sees the token cancelled only when the run did not stop inside the
  // statement.
  bool yielded_after_cancel = false;
  ScopedThreadSettings host(std::nullopt, [&yielded_after_cancel, token] {
    yielded_after_cancel = yielded_after_cancel || token.Cancelled();
  });
  Network net;
  Point(net, db, 5);
  RunOptions options;
  options.cancel = token;
  std::thread canceller([token] {
    std::this_thread::sleep_for(milliseconds(300));
    token.Cancel();
  });
  const int number = test::ErrorNumberOf([&] { net.RunNetwork(options); });
  canceller.join();
  EXPECT_EQ(number, kErrUserInterrupt);
  EXPECT_FALSE(yielded_after_cancel);
  EXPECT_EQ(net.EpochsRun(), 1);
  EXPECT_TRUE(Intact(db));
}

TEST(CancelTest, ACancelledTokenStopsTheRunBeforeItTouchesTheTable) {
  test::TempDb db(kTable);
  Network net;
  Point(net, db, 5);
  CancelToken token;
  token.Cancel();
  RunOptions options;
  options.cancel = token;
  EXPECT_EQ(test::ErrorNumberOf([&] { net.RunNetwork(options); }), kErrUserInterrupt);
  EXPECT_EQ(db.Query("SELECT name FROM pragma_table_info('t') WHERE name = 'Actual'").size(), 0u);
}

class WorkTest : public ::testing::Test {
 protected:
  // A trained network on `db_` with its file, and a table `many` of rows to
  // predict.
  void SetUp() override {
    // Before the run: a change of the schema after it would end the
    // relevance analysis.
    db_.Exec(
        "CREATE TABLE many(a REAL, b REAL);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)"
        "  INSERT INTO many SELECT i % 7, i % 5 FROM n;"
        "ALTER TABLE many ADD COLUMN Actual REAL;");
    Point(net_, db_, 3);
    RunOptions options;
    options.seed = 4;
    net_.RunNetwork(options);
    SaveNetworkFile(CaptureNetwork(net_), db_.File("net.json"));
  }

  int64_t PredictedRows() {
    return static_cast<int64_t>(
        db_.Scalar("SELECT count(*) FROM many WHERE Actual IS NOT NULL").number());
  }

  // Rows enough that scoring them takes the database many thousand steps.
  test::TempDb db_{Table(3000)};
  Network net_;
};

TEST_F(WorkTest, PredictStopsAtTheRowWhereCancelAnswers) {
  const ThreadState before = StateNow();
  WorkOptions options;
  options.cancel = TrueFromCall(101);
  const SavedNetwork network = LoadNetworkFile(db_.File("net.json"));
  EXPECT_EQ(test::ErrorNumberOf([&] { Predict(network, db_.path(), "many", options); }),
            kErrUserInterrupt);
  EXPECT_LE(PredictedRows(), 100);
  EXPECT_EQ(StateNow(), before);
  EXPECT_TRUE(Intact(db_));
}

TEST_F(WorkTest, PredictWithACommitWindowStoresTheSameBits) {
  const SavedNetwork network = LoadNetworkFile(db_.File("net.json"));
  ASSERT_EQ(Predict(network, db_.path(), "many"), 3000);
  const std::vector<uint64_t> one_by_one = ActualBits(db_, "many");
  db_.Exec("UPDATE many SET Actual = NULL");
  WorkOptions options;
  options.commit_window = milliseconds(10000);
  options.cancel = [] { return false; };
  ASSERT_EQ(Predict(network, db_.path(), "many", options), 3000);
  EXPECT_EQ(ActualBits(db_, "many"), one_by_one);
}

TEST_F(WorkTest, InputRelevanceStopsInsideTheDatabasesWork) {
  const ThreadState before = StateNow();
  WorkOptions options;
  // Its first answer is asked before the work begins; the next ones from
  // inside the database's statements.
  options.cancel = TrueFromCall(2);
  EXPECT_EQ(test::ErrorNumberOf([&] { net_.InputRelevance(options); }), kErrUserInterrupt);
  EXPECT_EQ(StateNow(), before);
  options.cancel = [] { return false; };
  EXPECT_TRUE(net_.InputRelevance(options).has_value());
}

TEST_F(WorkTest, AShortBusyTimeoutGivesUpOnALockTheThreadWouldWaitFor) {
  ScopedThreadSettings patient;
  patient.SetBusyTimeout(milliseconds(60000));
  const ThreadState before = StateNow();
  // Another program holds the file, and lets go after a while: waited for,
  // the lock would be had.
  std::promise<void> locked;
  std::thread holder([this, &locked] {
    test::RawDb other(db_.path());
    other.Exec("BEGIN EXCLUSIVE");
    locked.set_value();
    std::this_thread::sleep_for(milliseconds(1500));
    other.Exec("COMMIT");
  });
  locked.get_future().wait();
  Network net;
  Point(net, db_, 2);
  RunOptions options;
  options.busy_timeout = milliseconds(50);
  const int run = test::ErrorNumberOf([&] { net.RunNetwork(options); });
  const int scores = test::ErrorNumberOf([&] { net_.InputRelevance(options); });
  const int predicted = test::ErrorNumberOf(
      [&] { Predict(LoadNetworkFile(db_.File("net.json")), db_.path(), "many", options); });
  holder.join();
  EXPECT_EQ(run, kErrLocked);
  EXPECT_EQ(scores, kErrLocked);
  EXPECT_EQ(predicted, kErrLocked);
  EXPECT_EQ(StateNow(), before);
  // The thread's own timeout waits for the lock.
  EXPECT_EQ(ThisThread().DBEngine().BusyTimeout(), milliseconds(60000));
}

}  // namespace
}  // namespace kelda
