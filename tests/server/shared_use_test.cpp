// A run on a server table while other sessions use the database: readers and
// writers of other tables never disturb it, a changed target is trained on
// from the next epoch that reads the rows, a second run of the tool works
// beside it, and a row lock held past the busy timeout ends the run with
// 3218, every row before the locked one written whole.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "server/server_run.h"
#include "support/process.h"

namespace kelda::test {
namespace {

class SharedUseTest : public PgServerTest, public ::testing::WithParamInterface<Moment> {
 protected:
  // A fresh training table, owned by the superuser.
  std::string NewTable(const std::string& stem) {
    const std::string name = FreshName(stem);
    server().Exec(TableSql(name));
    return name;
  }
  RunOptions Options(const std::string& table) {
    RunOptions o;
    o.uri = server().Uri();
    o.table = table;
    return o;
  }
};

std::string MomentName(const ::testing::TestParamInfo<Moment>& info) { return Name(info.param); }

INSTANTIATE_TEST_SUITE_P(Moments, SharedUseTest,
                         ::testing::Values(Moment::kEarly, Moment::kReport, Moment::kWriteBack),
                         MomentName);

// Readers, a writer of another table and a second run of the tool on
// another table, all at one moment: none waits for the run, and the run
// writes what it writes alone.
TEST_P(SharedUseTest, OtherSessionsLeaveTheRunAlone) {
  const Reference& ref = SharedReference(server());
  const std::string t = NewTable("t"), u = NewTable("u");
  server().Exec("CREATE TABLE IF NOT EXISTS notes (n bigint)");
  PgConn other(server().Uri());
  ProcessResult second;
  const RunOutcome r = RunActingAt(server(), GetParam(), Options(t), [&] {
    EXPECT_EQ(other.Scalar("SELECT count(*) FROM " + t), std::to_string(kRows));
    EXPECT_EQ(other.Scalar("SELECT count(*) FROM " + t + " WHERE y IS NOT NULL"),
              std::to_string(kExamples));
    other.Exec("BEGIN; INSERT INTO notes VALUES (1); COMMIT");
    second =
        RunProcess(KELDA_BINARY, {"train", server().Uri(), u, "--epochs", std::to_string(kEpochs),
                                  "--seed", std::to_string(kSeed), "--quiet"});
  });
  ASSERT_EQ(r.number, 0) << r.text;
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(r.sums, ref.sums);
  EXPECT_EQ(Differences(ref.final, ReadColumn(other, t)), "");
  EXPECT_EQ(Differences(ref.final, ReadColumn(other, u)), "");
}

// Another session changes a target. A run reads its examples from the table
// in epoch 1 and again in each epoch that follows another session's commit,
// so the error sum differs from the undisturbed run's from that epoch on and
// not before; a change during the write-back changes no prediction. The
// target keeps the other session's value either way.
TEST_P(SharedUseTest, ChangedTargetIsTrainedOnFromTheNextReading) {
  const Reference& ref = SharedReference(server());
  const std::string t = NewTable("t");
  PgConn other(server().Uri());
  const int64_t key = KeyOf(kStallRow + 5);  // after every row acted at
  const Column y0 = ReadColumn(other, t, "y");
  const RunOutcome r = RunActingAt(server(), GetParam(), Options(t), [&] {
    other.Exec("UPDATE " + t + " SET y = y + 3 WHERE id = " + std::to_string(key));
  });
  ASSERT_EQ(r.number, 0) << r.text;
  ASSERT_EQ(r.sums.size(), ref.sums.size());
  // The first epoch whose sum the change must alter: epoch 1 reads the rows
  // after its start; from epoch 2 on the rows are read again only in the
  // epoch after a commit of another session.
  const size_t first = GetParam() == Moment::kEarly ? 1 : GetParam() == Moment::kReport ? 11 : 0;
  for (size_t e = 1; e <= r.sums.size(); ++e) {
    if (first == 0 || e < first) {
      EXPECT_EQ(r.sums[e - 1], ref.sums[e - 1]) << "epoch " << e;
    } else {
      EXPECT_NE(r.sums[e - 1], ref.sums[e - 1]) << "epoch " << e;
    }
  }
  if (first == 0) {
    EXPECT_EQ(Differences(ref.final, ReadColumn(other, t)), "");
  }
  const Column y = ReadColumn(other, t, "y");
  EXPECT_EQ(*y.at(key), *y0.at(key) + 3);
}

// A second run of the tool on the same table, with another seed: at an early
// or report moment it runs to its end while the first stands still, and the
// first then writes every row again; during the write-back it starts beside
// the first and, ending last, leaves its own predictions.
TEST_P(SharedUseTest, SecondRunOnTheSameTable) {
  const Reference& ref = SharedReference(server());
  const std::string t = NewTable("t"), solo = NewTable("solo");
  const auto tool = [&](const std::string& table) {
    return RunProcess(KELDA_BINARY, {"train", server().Uri(), table, "--epochs",
                                     std::to_string(kEpochs), "--seed", "8", "--quiet"});
  };
  const ProcessResult alone = tool(solo);
  ASSERT_EQ(alone.status, 0) << alone.err;
  PgConn conn(server().Uri());
  const Column other_seed = ReadColumn(conn, solo);
  ASSERT_NE(Differences(ref.final, other_seed), "");

  std::future<ProcessResult> second;
  const RunOutcome r = RunActingAt(server(), GetParam(), Options(t), [&] {
    second = std::async(
        GetParam() == Moment::kWriteBack ? std::launch::async : std::launch::deferred, tool, t);
    if (GetParam() != Moment::kWriteBack) second.wait();
  });
  ASSERT_TRUE(second.valid());
  const ProcessResult s = second.get();
  ASSERT_EQ(r.number, 0) << r.text;
  EXPECT_EQ(s.status, 0) << s.err;
  // The other run's writes of `Actual` make the first read its rows again:
  // the same rows, so the same training.
  EXPECT_EQ(r.sums, ref.sums);
  EXPECT_EQ(
      Differences(GetParam() == Moment::kWriteBack ? other_seed : ref.final, ReadColumn(conn, t)),
      "");
}

// A session holds a row locked in an open transaction past the busy
// timeout: the run ends with 3218 where it meets the row, and every row
// before it holds the prediction that run wrote there, whole; the locked row
// and those after it keep their old values.
TEST_P(SharedUseTest, RowLockedPastTheBusyTimeout) {
  const Reference& ref = SharedReference(server());
  const std::string t = NewTable("t");
  PgConn locker(server().Uri());
  // The moment decides which writes meet the lock: epoch 1's, epoch 10's,
  // or the write-back's.
  const int32_t epoch = GetParam() == Moment::kEarly    ? 1
                        : GetParam() == Moment::kReport ? 10
                                                        : kEpochs;
  RunOptions o = Options(t);
  o.busy_timeout = std::chrono::milliseconds(300);
  o.commit_window = std::chrono::milliseconds(0);  // each row its own commit
  bool locked = false;
  o.at = [&](Point p) {
    if (p.epoch != epoch || p.example != 0) return;
    locker.Exec("BEGIN");
    locker.Exec("SELECT 1 FROM " + t + " WHERE id = " + std::to_string(KeyOf(kStallRow)) +
                " FOR UPDATE");
    locked = true;
  };
  const auto began = std::chrono::steady_clock::now();
  const RunOutcome r = RunInProcess(o);
  const auto waited = std::chrono::steady_clock::now() - began;
  locker.Exec("ROLLBACK");
  ASSERT_TRUE(locked);
  EXPECT_EQ(r.number, 3218) << r.text;
  EXPECT_LT(waited, std::chrono::seconds(20));
  const Column& before = ref.before.at(epoch);
  const Column& after = epoch == kEpochs ? ref.final : ref.before.at(epoch + 1);
  int written = -1;
  EXPECT_EQ(OldOrWhole(before, after, ReadColumn(locker, t), &written), "");
  EXPECT_EQ(written, kStallRow - 1);
}

}  // namespace
}  // namespace kelda::test
