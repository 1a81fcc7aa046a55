// A database holding the schema version its rows' keys were read under
// (FixRows): another program's VACUUM renumbers those rows and a change of
// the schema may move their columns, so every read and write afterwards
// stops with 3197, writing nothing and holding no lock. Its own addition of
// a column is not such a change.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/error.h"
#include "data/database.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda::data {
namespace {

using test::ErrorNumberOf;
using test::RawDb;
using test::TempDb;

// Rows 10, 20, 30: a VACUUM makes them 1, 2, 3.
constexpr const char* kTable =
    "CREATE TABLE t(a REAL, Actual REAL);"
    "INSERT INTO t(rowid, a) VALUES (10, 1), (20, 2), (30, 3);"
    "CREATE TABLE other(v);";

class HeldSchema : public ::testing::Test {
 protected:
  HeldSchema() : tmp_(kTable), db_(engine_.OpenDatabase(tmp_.path())) {
    uint32_t version = 0;
    auto rows = std::make_shared<RowIds>();
    {
      Database counting = engine_.OpenDatabase(tmp_.path());
      Recordset t = counting.OpenRecordset("t");
      for (; !t.IsEOF(); t.MoveNext()) rows->push_back(*t.RowId());
      version = t.SchemaVersion();
    }
    db_.FixRows("t", rows, version);
  }

  // No transaction of the database is left open: another program can write.
  void ExpectNoLockLeft() {
    RawDb other(tmp_.path());
    sqlite3_busy_timeout(other.get(), 0);
    EXPECT_EQ(other.TryExec("BEGIN IMMEDIATE; INSERT INTO other VALUES (1); COMMIT;"), SQLITE_OK);
  }

  TempDb tmp_;
  DBEngine engine_;
  Database db_;
};

class ChangedByAnotherProgram : public HeldSchema,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(ChangedByAnotherProgram, EveryReadAndWriteStopsWith3197AndNothingIsWritten) {
  Recordset t = db_.OpenRecordset("t");
  const int actual = t.Fields("Actual").Index();
  t.UpdateRow(10, actual, Value(1.5));  // before the change: written
  tmp_.Exec(GetParam());

  EXPECT_EQ(ErrorNumberOf([&] { t.UpdateRow(20, actual, Value(2.5)); }), kErrRestructured);
  t.Edit();
  t.Fields(actual).SetValue(Value(3.5));
  EXPECT_EQ(ErrorNumberOf([&] { t.Update(); }), kErrRestructured);
  EXPECT_EQ(ErrorNumberOf([&] { t.MoveFirst(); }), kErrRestructured);
  db_.GroupUpdates(std::chrono::hours(1));
  EXPECT_EQ(ErrorNumberOf([&] { t.UpdateRow(30, actual, Value(4.5)); }), kErrRestructured);
  ExpectNoLockLeft();
  EXPECT_EQ(ErrorNumberOf([&] { db_.OpenRecordset("SELECT a FROM t"); }), kErrRestructured);
  EXPECT_EQ(ErrorNumberOf([&] { db_.TableDefs("t").Fields().Append(FieldDef{"w"}); }),
            kErrRestructured);

  EXPECT_EQ(tmp_.Query("SELECT Actual FROM t ORDER BY rowid"),
            (std::vector<test::Row>{{Value(1.5)}, {Value::Null()}, {Value::Null()}}));
  EXPECT_EQ(tmp_.Scalar("SELECT COUNT(*) FROM pragma_table_info('t') WHERE name = 'w'"),
            Value(0.0));
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedByAnotherProgram,
                         ::testing::Values("VACUUM", "ALTER TABLE t ADD COLUMN z REAL",
                                           "CREATE INDEX other_v ON other(v)"),
                         [](const auto& info) {
                           return std::string(info.index == 0   ? "Vacuum"
                                              : info.index == 1 ? "ColumnAdded"
                                                                : "IndexCreated");
                         });

TEST_F(HeldSchema, ItsOwnNewColumnKeepsEveryCursorAndWriteGoing) {
  Recordset t = db_.OpenRecordset("t");
  const int actual = t.Fields("Actual").Index();
  const uint32_t version = db_.TableDefs("t").Fields().Append(FieldDef{"z"});
  EXPECT_EQ(tmp_.Scalar("PRAGMA schema_version"), Value(static_cast<double>(version)));
  t.UpdateRow(20, actual, Value(2.5));
  t.MoveFirst();
  EXPECT_EQ(t.SchemaVersion(), version);
  Recordset fresh = db_.OpenRecordset("SELECT z FROM t");
  EXPECT_TRUE(fresh.Fields(0).GetValue().IsNull());
  EXPECT_EQ(tmp_.Scalar("SELECT Actual FROM t WHERE rowid = 20"), Value(2.5));
}

// A row written on its own has a transaction of its own: one that fails
// leaves no lock behind.
TEST_F(HeldSchema, AFailedWriteOfOneRowLeavesNoLock) {
  tmp_.Exec(
      "CREATE TRIGGER refuse BEFORE UPDATE ON t WHEN new.rowid = 20 BEGIN "
      "SELECT RAISE(ABORT, 'refused'); END;");
  // Created before the database was held, so a change of its own version.
  Database db = engine_.OpenDatabase(tmp_.path());
  db.FixRows("t", nullptr, static_cast<uint32_t>(tmp_.Scalar("PRAGMA schema_version").number()));
  Recordset t = db.OpenRecordset("t");
  EXPECT_NE(ErrorNumberOf([&] { t.UpdateRow(20, 1, Value(2.5)); }), 0);
  ExpectNoLockLeft();
  t.UpdateRow(30, 1, Value(3.5));
  EXPECT_EQ(tmp_.Scalar("SELECT Actual FROM t WHERE rowid = 30"), Value(3.5));
}

}  // namespace
}  // namespace kelda::data
