// The database file as other programs see it: its journal mode, the rows a
// handle works on, grouped commits, and statements a host stops.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "data/database.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda::data {
namespace {

using test::ErrorNumberOf;
using test::RaisedBy;
using test::RawDb;
using test::TempDb;

std::string JournalMode(const std::string& path) {
  return RawDb(path).Scalar("PRAGMA journal_mode").text();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

TEST(SharedFile, AFileWithoutTheTableIsLeftAsItWas) {
  TempDb tmp;
  const std::string empty = tmp.WriteFile("empty.db", "");
  DBEngine engine;
  {
    Database db = engine.OpenDatabase(empty);
    EXPECT_EQ(ErrorNumberOf([&] { db.OpenRecordset("t"); }), kErrTableNotFound);
  }
  struct stat st {};
  ASSERT_EQ(::stat(empty.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_FALSE(Exists(empty + "-wal"));

  tmp.Exec("CREATE TABLE other(a)");
  {
    Database db = engine.OpenDatabase(tmp.path());
    EXPECT_EQ(ErrorNumberOf([&] { db.OpenRecordset("t"); }), kErrTableNotFound);
  }
  EXPECT_EQ(JournalMode(tmp.path()), "delete");
}

TEST(SharedFile, RollbackModeComesBackWhenNobodyElseHoldsTheFile) {
  TempDb tmp("CREATE TABLE t(a, Actual REAL); INSERT INTO t VALUES (1, NULL), (2, NULL);");
  DBEngine engine;
  {
    Database first = engine.OpenDatabase(tmp.path());
    Recordset rs = first.OpenRecordset("t");
    EXPECT_EQ(JournalMode(tmp.path()), "wal");
    // A second handle of the engine outlives the one that switched the mode.
    Database second = engine.OpenDatabase(tmp.path());
    Recordset other = second.OpenRecordset("SELECT a FROM t");
    first.Close();
    EXPECT_EQ(JournalMode(tmp.path()), "wal");
  }
  EXPECT_EQ(JournalMode(tmp.path()), "delete");

  RawDb watcher(tmp.path());
  {
    Database db = engine.OpenDatabase(tmp.path());
    Recordset rs = db.OpenRecordset("t");
    EXPECT_EQ(watcher.Scalar("SELECT count(*) FROM t").number(), 2);
  }
  // The watcher still has the file open: switching back would pull the log
  // from under it.
  EXPECT_EQ(watcher.Scalar("PRAGMA journal_mode").text(), "wal");
}

// Rows 10, 20, 30 fixed; another program then inserts around them.
class FixedRowsTest : public ::testing::Test {
 protected:
  FixedRowsTest()
      : tmp_(
            "CREATE TABLE t(a, Actual REAL);"
            "INSERT INTO t(rowid, a) VALUES (10, 1), (20, 2), (30, 3);"),
        db_(engine_.OpenDatabase(tmp_.path())) {
    db_.FixRows("T", std::make_shared<RowIds>(RowIds{10, 20, 30}),
                static_cast<uint32_t>(tmp_.Scalar("PRAGMA schema_version").number()));
    tmp_.Exec("INSERT INTO t(rowid, a) VALUES (5, 100), (15, 100), (40, 100)");
  }

  std::vector<double> Column(Recordset& rs) {
    std::vector<double> out;
    for (rs.MoveFirst(); !rs.IsEOF(); rs.MoveNext())
      out.push_back(rs.Fields(0).GetValue().number());
    return out;
  }

  TempDb tmp_;
  DBEngine engine_;
  Database db_;
};

TEST_F(FixedRowsTest, RowsInsertedLaterAreInvisibleToEveryRowSource) {
  Recordset table = db_.OpenRecordset("t");
  Recordset query = db_.OpenRecordset("SELECT a FROM t;");
  Recordset sum = db_.OpenRecordset("SELECT COUNT(*), MAX(a) FROM t");
  EXPECT_EQ(Column(table), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(Column(query), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(sum.Fields(0).GetValue().number(), 3);
  EXPECT_EQ(sum.Fields(1).GetValue().number(), 3);
  // Changed values of the fixed rows are read as they are now.
  tmp_.Exec("UPDATE t SET a = 7 WHERE rowid = 30");
  EXPECT_EQ(Column(query), (std::vector<double>{1, 2, 7}));
}

// Connections go back to the database's pool and serve cursors of either
// kind in turn; whichever a query gets, it reads the fixed rows of every
// table fixed so far, and nothing else.
TEST(SharedFile, EveryQueryReadsTheFixedRowsOnWhicheverConnection) {
  TempDb tmp(
      "CREATE TABLE t(a); CREATE TABLE u(b);"
      "INSERT INTO t(rowid, a) VALUES (1, 1), (2, 2), (3, 3); INSERT INTO u(b) VALUES (9);");
  const auto version = static_cast<uint32_t>(tmp.Scalar("PRAGMA schema_version").number());
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  db.FixRows("t", std::make_shared<RowIds>(RowIds{1, 3}), version);
  const std::string counts = "SELECT (SELECT COUNT(*) FROM t), (SELECT COUNT(*) FROM u)";
  const auto read_counts = [&] {
    Recordset rs = db.OpenRecordset(counts);
    return std::vector<double>{rs.Fields(0).GetNumber(), rs.Fields(1).GetNumber()};
  };
  for (int round = 0; round < 2; ++round) {
    Recordset table = db.OpenRecordset("t");
    Recordset other = db.OpenRecordset("u");
  }
  EXPECT_EQ(read_counts(), (std::vector<double>{2, 1}));
  db.FixRows("u", std::make_shared<RowIds>(RowIds{1}), version);
  tmp.Exec("INSERT INTO t(a) VALUES (4); INSERT INTO u(b) VALUES (10)");
  for (int round = 0; round < 3; ++round) {
    Recordset table = db.OpenRecordset("u");
    EXPECT_EQ(read_counts(), (std::vector<double>{2, 1}));
  }
  Recordset held = db.OpenRecordset(counts);
  EXPECT_EQ(read_counts(), (std::vector<double>{2, 1}));
}

TEST_F(FixedRowsTest, AFixedRowDeletedIsNoCurrentRecord) {
  Recordset table = db_.OpenRecordset("t");
  ASSERT_EQ(table.RowId(), 10);
  tmp_.Exec("DELETE FROM t WHERE rowid = 30");
  table.MoveFirst();
  table.MoveNext();
  EXPECT_EQ(ErrorNumberOf([&] { table.MoveNext(); }), kErrNoCurrentRecord);
}

TEST(SharedFile, TheHostStopsAStatementThatNeverEnds) {
  TempDb tmp("CREATE TABLE t(a)");
  DBEngine engine;
  int asked = 0;
  engine.SetInterruptCheck([&] { return ++asked > 3; });
  Database db = engine.OpenDatabase(tmp.path());
  const auto start = std::chrono::steady_clock::now();
  const std::optional<Error> e = RaisedBy([&] {
    db.OpenRecordset(
        "WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) SELECT count(*) FROM r");
  });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrUserInterrupt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // The database goes on working.
  EXPECT_FALSE(db.OpenRecordset("SELECT 1 AS one").IsEOF());
}

TEST(SharedFile, AnUpdateATriggerIgnoresSaysSo) {
  TempDb tmp(
      "CREATE TABLE t(a, Actual REAL); INSERT INTO t VALUES (1, 5);"
      "CREATE TRIGGER keep BEFORE UPDATE ON t BEGIN SELECT RAISE(IGNORE); END;");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  rs.Edit();
  rs.Fields("Actual").SetValue(Value(9.0));
  const std::optional<Error> e = RaisedBy([&] { rs.Update(); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrNoCurrentRecord);
  EXPECT_NE(e->Description().find("trigger"), std::string::npos) << e->Description();
  EXPECT_EQ(tmp.Scalar("SELECT Actual FROM t").number(), 5);
}

// Updates grouped into one commit: another program sees none of a group's
// rows until it is committed, and the group ends when the window has passed.
TEST(SharedFile, GroupedUpdatesAreSeenWhenTheirGroupIsCommitted) {
  TempDb tmp("CREATE TABLE t(a, Actual REAL); INSERT INTO t(a) VALUES (1), (2), (3);");
  RawDb watcher(tmp.path());
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  const auto written = [&] { return watcher.Scalar("SELECT COUNT(Actual) FROM t").number(); };
  const auto store = [&](double v) {
    rs.Edit();
    rs.Fields("Actual").SetValue(Value(v));
    rs.Update();
    rs.MoveNext();
  };
  db.GroupUpdates(std::chrono::hours(1));
  store(10);
  store(20);
  EXPECT_EQ(written(), 0);
  db.CommitUpdates();
  EXPECT_EQ(written(), 2);
  // Back to a commit per row.
  store(30);
  EXPECT_EQ(written(), 3);

  rs.MoveFirst();
  db.GroupUpdates(std::chrono::milliseconds(0));
  store(11);
  EXPECT_EQ(watcher.Scalar("SELECT Actual FROM t WHERE a = 1").number(), 11);
  db.GroupUpdates(std::chrono::hours(1));
  store(21);
  db.Close();
  EXPECT_EQ(watcher.Scalar("SELECT Actual FROM t WHERE a = 2").number(), 21);
}

TEST(SharedFile, TheDataVersionChangesWithOtherProgramsCommitsOnly) {
  TempDb tmp("CREATE TABLE t(a, Actual REAL); INSERT INTO t(a) VALUES (1);");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  const uint64_t before = db.DataVersion();
  rs.Edit();
  rs.Fields("Actual").SetValue(Value(1.0));
  rs.Update();
  EXPECT_EQ(db.DataVersion(), before);
  tmp.Exec("UPDATE t SET a = 2");
  EXPECT_NE(db.DataVersion(), before);
}

}  // namespace
}  // namespace kelda::data
