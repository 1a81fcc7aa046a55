// What happens to the file during a run: rows deleted by another program,
// writes refused (read-only file, folder or file system), the table locked by
// another program, the file deleted or replaced. The run completes or stops
// with its numbered error; the file stays sound and every row's `Actual`
// holds its old value or a whole new one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "base/error.h"
#include "component/thread_block.h"
#include "faults/fault_support.h"
#include "support/temp_db.h"

namespace kelda::faults {
namespace {

using std::chrono::milliseconds;

// 30 examples and 2 rows to predict; `Actual` holds -1 everywhere but in
// rows 7 and 8 (Null), so that old values are told from predictions.
constexpr const char* kTable =
    "CREATE TABLE t(a REAL, b REAL, y REAL, Actual REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 32)"
    "  INSERT INTO t SELECT i % 7, i % 5 + 0.5, CASE WHEN i > 30 THEN NULL ELSE (i * 13) % 11 END,"
    "    CASE WHEN i IN (7, 8) THEN NULL ELSE -1 END FROM n;"
    "CREATE TABLE other(z); INSERT INTO other VALUES ('kept');";

// The thread's busy timeout, for one test.
class BusyTimeout {
 public:
  explicit BusyTimeout(milliseconds timeout)
      : engine_(ThisThread().DBEngine()), saved_(engine_.BusyTimeout()) {
    engine_.SetBusyTimeout(timeout);
  }
  ~BusyTimeout() { engine_.SetBusyTimeout(saved_); }
  BusyTimeout(const BusyTimeout&) = delete;
  BusyTimeout& operator=(const BusyTimeout&) = delete;

 private:
  data::DBEngine& engine_;
  milliseconds saved_;
};

class RunFaults : public ::testing::Test {
 protected:
  // Trains on t with `hook` run at every yield; `Actual` before the run is
  // kept for ExpectSound.
  Outcome Train(int32_t epochs, std::function<void()> hook = {}) {
    before_ = ActualByRow(db_.path(), "t");
    Network network;
    return TrainWithLibrary(network, db_.path(), "t", epochs, 5, std::move(hook));
  }

  // The file is sound, the other table untouched, and every row that is
  // left holds its old value or a finite number. Returns how many rows hold
  // a new value.
  int ExpectSound(const std::string& path) {
    EXPECT_EQ(IntegrityCheck(path), "ok");
    EXPECT_EQ(test::RawDb(path).Scalar("SELECT z FROM other"), Value("kept"));
    const auto after = ActualByRow(path, "t");
    std::string why;
    EXPECT_TRUE(OldOrFinite(before_, after, &why)) << why;
    int changed = 0;
    for (const auto& [rowid, v] : after) changed += v == before_.at(rowid) ? 0 : 1;
    return changed;
  }

  test::TempDb db_{kTable};
  std::map<int64_t, Value> before_;
};

// ---- Rows deleted by another program --------------------------------------

struct Shrink {
  const char* name;
  int32_t at_yield;  // the yield after which rows 21 to 32 go
  int32_t epochs;
};

void PrintTo(const Shrink& s, std::ostream* os) { *os << s.name; }

class ShrinkingTable : public RunFaults, public ::testing::WithParamInterface<Shrink> {};

// Yields: 1 before the first epoch, 2 at its start, then one after each of
// its 30 reports; 33 at the start of epoch 2, ...
TEST_P(ShrinkingTable, StopsWith3021AndKeepsTheRowsThatAreLeft) {
  int yields = 0;
  const Outcome o = Train(GetParam().epochs, [&] {
    if (++yields == GetParam().at_yield) db_.Exec("DELETE FROM t WHERE rowid > 20");
  });
  EXPECT_EQ(o.number, kErrNoCurrentRecord) << o.text;
  EXPECT_EQ(ActualByRow(db_.path(), "t").size(), 20u);
  ExpectSound(db_.path());
}

// Rows added during a run are not counted: never trained on, never
// predicted, and their `Actual` stays as it was inserted.
TEST_F(RunFaults, RowsAddedDuringARunAreLeftAlone) {
  int yields = 0;
  const Outcome o = Train(12, [&] {
    if (++yields == 12) db_.Exec("INSERT INTO t VALUES (1, 2, 3, -7), (4, 5, 6, NULL)");
  });
  EXPECT_EQ(o.number, 0) << o.text;
  const auto after = ActualByRow(db_.path(), "t");
  ASSERT_EQ(after.size(), 34u);
  EXPECT_EQ(after.at(33), Value(-7.0));
  EXPECT_TRUE(after.at(34).IsNull());
  for (int64_t row = 1; row <= 32; ++row) EXPECT_TRUE(after.at(row).IsNumber()) << row;
}

INSTANTIATE_TEST_SUITE_P(
    Moments, ShrinkingTable,
    ::testing::Values(Shrink{"BeforeTheFirstEpoch", 1, 3},
                      Shrink{"DuringAReportEpoch", 12, 3},  // a report writes a row that is gone
                      Shrink{"BetweenEpochs", 33, 3},       // the next epoch runs out of rows
                      Shrink{"InTheLastEpoch", 33, 2}),     // the final write-back runs out
    [](const ::testing::TestParamInfo<Shrink>& info) { return std::string(info.param.name); });

// ---- Writes refused --------------------------------------------------------

// As an unprivileged user (when root, a child process that has given up
// root's rights), trains on `path`; returns the error number, or nullopt when
// the rights could not be given up.
std::optional<int> TrainUnprivileged(const std::string& path) {
  return test::RunUnprivileged([&] {
    Network network;
    return TrainWithLibrary(network, path, "t", 3).number;
  });
}

class RefusedWrites : public RunFaults, public ::testing::WithParamInterface<bool> {
 protected:
  // With the parameter false, the table has no `Actual` yet: the run fails
  // adding it; otherwise at the first report's write.
  void SetUp() override {
    if (!GetParam()) {
      db_.Exec("ALTER TABLE t DROP COLUMN Actual");
    }
    before_ = ActualByRow(db_.path(), "t");
    ASSERT_EQ(::chmod(db_.dir().c_str(), 0755), 0);
  }
  void ExpectUnchanged(const std::string& path) {
    EXPECT_EQ(ExpectSound(path), 0);
    const bool has_actual =
        test::RawDb(path)
            .Scalar("SELECT COUNT(*) FROM pragma_table_info('t') WHERE name = 'Actual'")
            .number() > 0;
    EXPECT_EQ(has_actual, GetParam());
  }
};

TEST_P(RefusedWrites, ReadOnlyFileStopsWith3027) {
  ASSERT_EQ(::chmod(db_.path().c_str(), 0444), 0);
  const std::optional<int> number = TrainUnprivileged(db_.path());
  if (!number) GTEST_SKIP() << "running as root and cannot give up root's rights";
  EXPECT_EQ(*number, kErrReadOnly);
  ExpectUnchanged(db_.path());
}

TEST_P(RefusedWrites, ReadOnlyFolderStopsWith3027) {
  ASSERT_EQ(::chmod(db_.path().c_str(), 0666), 0);
  ASSERT_EQ(::chmod(db_.dir().c_str(), 0555), 0);
  const std::optional<int> number = test::RunUnprivileged([&] {
    Network network;
    const Outcome o = TrainWithLibrary(network, db_.path(), "t", 3);
    // The child's text reaches the test only as its verdict.
    return o.number == kErrReadOnly && o.text.find("folder") != std::string::npos ? o.number
                                                                                  : -o.number;
  });
  ::chmod(db_.dir().c_str(), 0755);
  if (!number) GTEST_SKIP() << "running as root and cannot give up root's rights";
  EXPECT_EQ(*number, kErrReadOnly) << "a negative number: the text does not name the folder";
  ExpectUnchanged(db_.path());
}

TEST_P(RefusedWrites, ReadOnlyFileSystemStopsWith3027) {
  std::string why;
  const std::unique_ptr<ScratchMount> mount = ScratchMount::Make(1 << 20, &why);
  if (!mount) GTEST_SKIP() << why;
  const std::string path = mount->File("t.db");
  CopyDatabase(db_.path(), path);
  if (!mount->RemountReadOnly(&why)) GTEST_SKIP() << why;
  Network network;
  const Outcome o = TrainWithLibrary(network, path, "t", 3);
  EXPECT_EQ(o.number, kErrReadOnly) << o.text;
  const ProcessResult tool = RunToolProcess({"train", path, "t", "--epochs", "3", "--quiet"});
  EXPECT_EQ(OutcomeOf(tool).number, kErrReadOnly) << tool.err;
  ExpectUnchanged(path);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutActual, RefusedWrites, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "ActualPresent" : "ActualMissing");
                         });

// ---- Locked by another program ---------------------------------------------

class Locked : public RunFaults, public ::testing::WithParamInterface<const char*> {
 protected:
  // The file as another program may leave it: in write-ahead-log mode (as a
  // run leaves it) or in rollback mode.
  void SetUp() override { db_.Exec(std::string("PRAGMA journal_mode=") + GetParam()); }
};

TEST_P(Locked, AWriteTransactionHeldThroughoutStopsTheRunWith3218) {
  const BusyTimeout timeout(milliseconds(150));
  test::RawDb holder(db_.path());
  holder.Exec("BEGIN IMMEDIATE; UPDATE other SET z = 'kept'");
  const Outcome o = Train(3);
  holder.Exec("COMMIT");
  EXPECT_EQ(o.number, kErrLocked) << o.text;
  EXPECT_EQ(ExpectSound(db_.path()), 0);
}

TEST_P(Locked, ALockReleasedWithinTheWaitLetsTheRunGoOn) {
  const BusyTimeout timeout(milliseconds(10000));
  test::RawDb holder(db_.path(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX);
  holder.Exec("BEGIN IMMEDIATE; UPDATE other SET z = 'kept'");
  int committed = -1;
  std::thread release([&] {
    std::this_thread::sleep_for(milliseconds(100));
    committed = holder.TryExec("COMMIT");
  });
  const Outcome o = Train(3);
  release.join();
  EXPECT_EQ(committed, SQLITE_OK) << "the run kept the other program from committing";
  EXPECT_EQ(o.number, 0) << o.text;
  EXPECT_EQ(ExpectSound(db_.path()), 32);
}

INSTANTIATE_TEST_SUITE_P(JournalModes, Locked, ::testing::Values("WAL", "DELETE"),
                         [](const auto& info) { return std::string(info.param); });

// ---- The file deleted or replaced ------------------------------------------

// Another database of the same layout, told apart by its values.
constexpr const char* kReplacement =
    "CREATE TABLE t(a REAL, b REAL, y REAL, Actual REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 32)"
    "  INSERT INTO t SELECT 100 + i % 7, 200 + i % 5, 300 + i % 11, -2 FROM n;"
    "CREATE TABLE other(z); INSERT INTO other VALUES ('replacement');";

struct Swap {
  const char* name;
  bool replace;      // replaced by another database, or deleted
  int32_t at_yield;  // as in ShrinkingTable
  int32_t epochs;
  int number;  // the error the run stops with; 0: it completes
};

void PrintTo(const Swap& s, std::ostream* os) { *os << s.name; }

class SwappedFile : public RunFaults, public ::testing::WithParamInterface<Swap> {
 protected:
  bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }
};

TEST_P(SwappedFile, StopsTheRunAndLeavesNoLogBehind) {
  const Swap& c = GetParam();
  test::TempDb replacement(kReplacement);
  const auto replacement_rows = replacement.Query("SELECT a, b, y FROM t ORDER BY rowid");
  Outcome o;
  {
    Network network;
    int yields = 0;
    o = TrainWithLibrary(network, db_.path(), "t", c.epochs, 5, [&] {
      if (++yields != c.at_yield) return;
      if (c.replace) {
        ASSERT_EQ(std::rename(replacement.path().c_str(), db_.path().c_str()), 0);
      } else {
        ASSERT_EQ(std::remove(db_.path().c_str()), 0);
      }
    });
  }
  EXPECT_EQ(o.number, c.number) << o.text;
  // The old file's log is not left where the next program to open the path
  // would take it for the new file's.
  EXPECT_FALSE(Exists(db_.path() + "-wal"));
  EXPECT_FALSE(Exists(db_.path() + "-shm"));
  if (!c.replace) {
    EXPECT_FALSE(Exists(db_.path()));
    return;
  }
  // The replacement keeps its own rows; its `Actual` holds its old values,
  // or the run's predictions when the write-back found it in place.
  EXPECT_EQ(IntegrityCheck(db_.path()), "ok");
  test::RawDb now(db_.path());
  EXPECT_EQ(now.Query("SELECT a, b, y FROM t ORDER BY rowid"), replacement_rows);
  EXPECT_EQ(now.Scalar("SELECT z FROM other"), Value("replacement"));
  const double kept = now.Scalar("SELECT COUNT(*) FROM t WHERE Actual = -2").number();
  EXPECT_EQ(kept, c.number == 0 ? 0.0 : 32.0);
}

// A file renamed by another program keeps what the run had committed to it
// before the run noticed: the log left behind at the old path is folded into
// it, not lost with that path.
TEST_F(RunFaults, AFileMovedAwayKeepsTheReportsWrittenBeforeTheRunStopped) {
  const std::string moved = db_.File("moved.db");
  int yields = 0;
  const Outcome o = Train(3, [&] {
    if (++yields == 12) {
      ASSERT_EQ(std::rename(db_.path().c_str(), moved.c_str()), 0);
    }
  });
  EXPECT_EQ(o.number, kErrIo) << o.text;
  EXPECT_NE(o.text.find(db_.path()), std::string::npos) << o.text;
  EXPECT_FALSE(std::filesystem::exists(db_.path() + "-wal"));
  // Reports on rows 1 to 10 had been committed; the 11th was refused.
  EXPECT_EQ(ExpectSound(moved), 10);
}

// The object keeps a handle on the file between runs; a file replaced in
// between is the next run's table, whole.
TEST_F(RunFaults, AFileReplacedBetweenRunsIsTheNextRunsTable) {
  test::TempDb replacement(kReplacement);
  const auto replacement_rows = replacement.Query("SELECT a, b, y FROM t ORDER BY rowid");
  Network network;
  ASSERT_EQ(TrainWithLibrary(network, db_.path(), "t", 12).number, 0);
  ASSERT_EQ(std::rename(replacement.path().c_str(), db_.path().c_str()), 0);
  const Outcome o = TrainWithLibrary(network, db_.path(), "t", 12);
  EXPECT_EQ(o.number, 0) << o.text;
  EXPECT_EQ(IntegrityCheck(db_.path()), "ok");
  test::RawDb now(db_.path());
  EXPECT_EQ(now.Query("SELECT a, b, y FROM t ORDER BY rowid"), replacement_rows);
  EXPECT_EQ(now.Scalar("SELECT COUNT(*) FROM t WHERE Actual = -2"), Value(0.0));
}

INSTANTIATE_TEST_SUITE_P(Moments, SwappedFile,
                         ::testing::Values(
                             // The next report's write finds the file gone.
                             Swap{"DeletedDuringAReportEpoch", false, 12, 3, kErrIo},
                             // So does the next epoch's rewind.
                             Swap{"DeletedBetweenEpochs", false, 33, 3, kErrIo},
                             // The write-back opens the path afresh.
                             Swap{"DeletedInTheLastEpoch", false, 33, 2, kErrDbFileNotFound},
                             Swap{"ReplacedDuringAReportEpoch", true, 12, 3, kErrIo},
                             Swap{"ReplacedBetweenEpochs", true, 33, 3, kErrIo},
                             // The write-back opens the replacement and predicts its rows.
                             Swap{"ReplacedInTheLastEpoch", true, 33, 2, 0}),
                         [](const ::testing::TestParamInfo<Swap>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kelda::faults
