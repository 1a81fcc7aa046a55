// The server engine behind the database layer's interface: a server table as
// a run sees it through data::Database and data::Recordset.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "data/database.h"
#include "support/pg_server.h"
#include "support/raised.h"

namespace kelda::test {
namespace {

class ServerDatabaseTest : public PgServerTest {
 protected:
  void SetUp() override {
    PgServerTest::SetUp();
    server().Exec(
        "DROP TABLE IF EXISTS t; CREATE TABLE t (x double precision, k integer PRIMARY KEY, "
        "y double precision, \"Actual\" double precision); "
        "INSERT INTO t VALUES (1, 30, 10, NULL), (2, 10, 20, NULL), (3, 20, 30, NULL)");
  }
  data::Database Open() { return engine_.OpenDatabase(server().Uri()); }
  // The run's rows, fixed as a run fixes them: by one scan, in key order.
  data::Database OpenRun() {
    data::Database db = Open();
    auto keys = std::make_shared<data::RowIds>();
    uint32_t version = 0;
    {
      data::Recordset rs = db.OpenRecordset("t");
      for (; !rs.IsEOF(); rs.MoveNext()) keys->push_back(*rs.RowId());
      version = rs.SchemaVersion();
    }
    db.FixRows("t", keys, version);
    return db;
  }
  data::DBEngine engine_;
};

TEST_F(ServerDatabaseTest, RowsComeInKeyOrderWithTheKeyHidden) {
  data::Database db = Open();
  data::Recordset rs = db.OpenRecordset("t");
  ASSERT_EQ(rs.FieldCount(), 3);
  EXPECT_EQ(rs.Fields(0).Name(), "x");
  EXPECT_EQ(rs.Fields(1).Name(), "y");
  std::vector<double> xs;
  std::vector<int64_t> keys;
  for (; !rs.IsEOF(); rs.MoveNext()) {
    xs.push_back(rs.Fields(0).GetValue().number());
    keys.push_back(*rs.RowId());
  }
  EXPECT_EQ(xs, (std::vector<double>{2, 3, 1}));
  EXPECT_EQ(keys, (std::vector<int64_t>{10, 20, 30}));
  EXPECT_EQ(db.TableDefs("t").Fields().Count(), 3);
}

TEST_F(ServerDatabaseTest, RowsInsertedLaterAreNotReadAndADeletedRowOfTheRunIs3021) {
  data::Database db = OpenRun();
  server().Exec("INSERT INTO t VALUES (9, 15, 90, NULL)");
  data::Recordset rs = db.OpenRecordset("t");
  int rows = 0;
  for (; !rs.IsEOF(); rs.MoveNext()) ++rows;
  EXPECT_EQ(rows, 3);
  server().Exec("DELETE FROM t WHERE k = 20");
  rs.MoveFirst();
  EXPECT_EQ(ErrorNumberOf([&] {
              for (; !rs.IsEOF(); rs.MoveNext()) {
              }
            }),
            kErrNoCurrentRecord);
}

TEST_F(ServerDatabaseTest, GroupedWritesCommitAsOneAndOwnWritesLeaveTheDataVersion) {
  data::Database db = OpenRun();
  data::Recordset rs = db.OpenRecordset("t");
  const uint64_t before = db.DataVersion();
  db.GroupUpdates(std::chrono::hours(1));
  EXPECT_EQ(rs.UpdateRow(10, 2, Value(0.1)).number(), 0.1);
  EXPECT_EQ(rs.UpdateRow(20, 2, Value(0.2)).number(), 0.2);
  PgConn other(server().Uri());
  EXPECT_EQ(other.Scalar("SELECT count(\"Actual\") FROM t"), "0");  // the group is still open
  db.CommitUpdates();
  EXPECT_EQ(other.Scalar("SELECT sum(\"Actual\") FROM t"), "0.30000000000000004");
  EXPECT_EQ(db.DataVersion(), before);
  other.Exec("UPDATE t SET y = 21 WHERE k = 20");
  EXPECT_NE(db.DataVersion(), before);
}

TEST_F(ServerDatabaseTest, AColumnAddedByAnotherSessionStopsTheRunWith3197) {
  data::Database db = OpenRun();
  data::Recordset rs = db.OpenRecordset("t");
  server().Exec("ALTER TABLE t ADD COLUMN z integer");
  EXPECT_EQ(ErrorNumberOf([&] { rs.UpdateRow(10, 2, Value(1.0)); }), kErrRestructured);
  rs.MoveFirst();
  EXPECT_EQ(ErrorNumberOf([&] { rs.IsEOF(); }), kErrRestructured);
  PgConn other(server().Uri());
  EXPECT_EQ(other.Scalar("SELECT count(\"Actual\") FROM t"), "0");
}

TEST_F(ServerDatabaseTest, AKeyOfSeveralColumnsOrOfTextIsRefusedWith3219) {
  server().Exec(
      "CREATE TABLE two (a int, b int, y double precision, PRIMARY KEY (a, b)); "
      "CREATE TABLE named (n text PRIMARY KEY, y double precision)");
  data::Database db = Open();
  for (const char* table : {"two", "named"}) {
    EXPECT_EQ(ErrorNumberOf([&] { db.OpenRecordset(table); }), kErrInvalidOperation) << table;
  }
}

TEST_F(ServerDatabaseTest, AHostsQueryReadsButNeverWrites) {
  data::Database db = Open();
  data::Recordset rows = db.OpenRecordset("SELECT x FROM t ORDER BY k");
  EXPECT_EQ(rows.Fields(0).GetValue().number(), 2.0);
  EXPECT_FALSE(rows.Updatable());
  EXPECT_EQ(ErrorNumberOf(
                [&] { db.OpenRecordset("WITH d AS (DELETE FROM t RETURNING *) SELECT * FROM d"); }),
            kErrReadOnly);
  EXPECT_NE(ErrorNumberOf([&] { db.OpenRecordset("SELECT 1; DROP TABLE t"); }), 0);
  PgConn other(server().Uri());
  EXPECT_EQ(other.Scalar("SELECT count(*) FROM t"), "3");
}

}  // namespace
}  // namespace kelda::test
