// Writing through table-type Recordsets: edit mode, conversions, commits seen
// by other connections while other cursors are mid-scan.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>

#include "data/database.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda::data {
namespace {

using test::ErrorNumberOf;
using test::RawDb;
using test::TempDb;

TEST(DaoUpdate, UpdateIsCommittedWhenItReturnsAndTheRowReadsAsStored) {
  TempDb tmp("CREATE TABLE t(a REAL, Actual REAL); INSERT INTO t VALUES (1, NULL), (2, NULL);");
  RawDb other(tmp.path());
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields("Actual").SetValue(1.0); }), kErrNotInEdit);
  EXPECT_EQ(ErrorNumberOf([&] { rs.Update(); }), kErrNotInEdit);
  rs.Edit();
  rs.Fields("Actual").SetValue("0.0123");
  EXPECT_EQ(rs.Fields("Actual").GetValue(), Value(0.0123));  // the assigned value, before Update
  EXPECT_TRUE(other.Scalar("SELECT Actual FROM t WHERE a = 1").IsNull());
  rs.Update();
  EXPECT_EQ(other.Scalar("SELECT Actual FROM t WHERE a = 1"), Value(0.0123));
  EXPECT_EQ(other.Scalar("SELECT typeof(Actual) FROM t WHERE a = 1"), Value("real"));
  EXPECT_EQ(rs.Fields("Actual").GetValue(), Value(0.0123));
  EXPECT_EQ(ErrorNumberOf([&] { rs.Update(); }), kErrNotInEdit);

  // Moving on drops an assignment that was not stored.
  rs.MoveNext();
  rs.Edit();
  rs.Fields("Actual").SetValue(5.0);
  rs.MoveFirst();
  EXPECT_EQ(rs.Fields("Actual").GetValue(), Value(0.0123));
  rs.MoveNext();
  EXPECT_TRUE(rs.Fields("Actual").GetValue().IsNull());
  EXPECT_TRUE(other.Scalar("SELECT Actual FROM t WHERE a = 2").IsNull());
}

struct Assignment {
  const char* name;
  const char* column_type;  // declared type of column v
  Value value;
  int error;            // 0: stored
  const char* typeof_;  // what SQLite then holds
  Value stored;
};

class DaoAssign : public ::testing::TestWithParam<Assignment> {};

TEST_P(DaoAssign, StoresWhatTheColumnTakesAndRefusesTheRestWith3421) {
  const Assignment& a = GetParam();
  const std::string strict = std::string(a.column_type) == "STRICT INTEGER" ? " STRICT" : "";
  const std::string type = strict.empty() ? a.column_type : "INTEGER";
  TempDb tmp("CREATE TABLE t(k INTEGER, v " + type + ")" + strict +
             "; INSERT INTO t VALUES (1, 0);");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  const Value before = tmp.Scalar("SELECT v FROM t");
  rs.Edit();
  const int error = ErrorNumberOf([&] {
    rs.Fields("v").SetValue(a.value);
    rs.Update();
  });
  EXPECT_EQ(error, a.error);
  if (a.error != 0) {
    EXPECT_EQ(tmp.Scalar("SELECT v FROM t"), before);
    return;
  }
  EXPECT_EQ(tmp.Scalar("SELECT typeof(v) FROM t"), Value(a.typeof_));
  EXPECT_EQ(tmp.Scalar("SELECT v FROM t"), a.stored);
  EXPECT_EQ(rs.Fields("v").GetValue(), a.stored);
  if (a.stored.IsNumber()) {
    EXPECT_EQ(std::signbit(rs.Fields("v").GetValue().number()),
              std::signbit(tmp.Scalar("SELECT v FROM t").number()));
  }
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Columns, DaoAssign,
    ::testing::Values(
        Assignment{"TextToReal", "REAL", Value(" 1.5e-3 "), 0, "real", Value(0.0015)},
        Assignment{"WordToReal", "REAL", Value("abc"), 3421, "", Value()},
        Assignment{"EmptyTextToDouble", "DOUBLE", Value(""), 3421, "", Value()},
        Assignment{"TextToInteger", "INT", Value("42"), 0, "integer", Value(42.0)},
        Assignment{"TextToNumeric", "DECIMAL(10,2)", Value("2.25"), 0, "real", Value(2.25)},
        Assignment{"BlobToNumeric", "NUMERIC", Value(Value::Blob{1}), 3421, "", Value()},
        Assignment{"InfinityToReal", "REAL", Value(kInf), 3421, "", Value()},
        Assignment{"NaNToText", "TEXT", Value(kNaN), 3421, "", Value()},
        Assignment{"TextToText", "VARCHAR(20)", Value("0.50"), 0, "text", Value("0.50")},
        Assignment{"NumberToText", "TEXT", Value(0.5), 0, "text", Value("0.5")},
        Assignment{"WordToUntyped", "", Value("abc"), 0, "text", Value("abc")},
        Assignment{"NumberToUntyped", "", Value(0.5), 0, "real", Value(0.5)},
        Assignment{"WholeNumberToNumeric", "NUMERIC", Value(2.0), 0, "integer", Value(2.0)},
        Assignment{"NegativeZeroToReal", "REAL", Value(-0.0), 0, "real", Value(0.0)},
        Assignment{"NullToReal", "REAL", Value::Null(), 0, "null", Value::Null()},
        Assignment{"EmptyToReal", "REAL", Value(), 0, "null", Value::Null()},
        Assignment{"RealToStrictInteger", "STRICT INTEGER", Value(1.5), 3421, "", Value()}),
    [](const auto& info) { return info.param.name; });

// A trigger that changes the stored value, whether the table had it when
// the cursor first wrote or another program created it afterwards: the row
// reads as the trigger left it.
class DaoTriggeredUpdate : public ::testing::TestWithParam<bool> {};

TEST_P(DaoTriggeredUpdate, TheRowReadsAsTheTriggerLeftIt) {
  const bool created_midway = GetParam();
  TempDb tmp("CREATE TABLE t(k INTEGER, v REAL); INSERT INTO t VALUES (1, 0), (2, 0);");
  const char* trigger =
      "CREATE TRIGGER twice AFTER UPDATE OF v ON t BEGIN"
      "  UPDATE t SET v = NEW.v * 2 WHERE rowid = NEW.rowid; END;";
  if (!created_midway) tmp.Exec(trigger);
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  rs.Edit();
  rs.Fields("v").SetValue(1.5);
  rs.Update();
  EXPECT_EQ(rs.Fields("v").GetValue(), Value(created_midway ? 1.5 : 3.0));
  if (created_midway) tmp.Exec(trigger);
  rs.MoveNext();
  rs.Edit();
  rs.Fields("v").SetValue(2.5);
  rs.Update();
  EXPECT_EQ(rs.Fields("v").GetValue(), Value(5.0));
}

INSTANTIATE_TEST_SUITE_P(Triggers, DaoTriggeredUpdate, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "CreatedMidway" : "AtOpen");
                         });

// A row written by its rowid without the cursor going there: committed like
// an Update, with its conversions and errors; the cursor stays where it was,
// and reads the new value when it stands on that row.
TEST(DaoUpdateRow, StoresByRowidAsUpdateWouldWithoutMovingTheCursor) {
  TempDb tmp(
      "CREATE TABLE t(a REAL, Actual REAL, note TEXT);"
      "INSERT INTO t VALUES (1, NULL, NULL), (2, NULL, NULL), (3, NULL, NULL);"
      "CREATE TABLE k(a INTEGER PRIMARY KEY, v REAL) WITHOUT ROWID; INSERT INTO k VALUES (1, 0);"
      "CREATE TRIGGER keep BEFORE UPDATE ON t WHEN NEW.Actual = 99"
      "  BEGIN SELECT RAISE(IGNORE); END;");
  RawDb other(tmp.path());
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  EXPECT_EQ(rs.UpdateRow(3, 1, Value(" 0.25 ")), Value(0.25));
  EXPECT_EQ(other.Scalar("SELECT Actual FROM t WHERE rowid = 3"), Value(0.25));
  EXPECT_EQ(rs.UpdateRow(3, 2, Value(0.5)), Value("0.5"));  // as the column keeps it
  EXPECT_EQ(*rs.RowId(), 1);
  EXPECT_TRUE(rs.Fields("Actual").GetValue().IsNull());
  rs.UpdateRow(1, 1, Value(7.0));
  EXPECT_EQ(rs.Fields("Actual").GetValue(), Value(7.0));

  EXPECT_EQ(ErrorNumberOf([&] { rs.UpdateRow(2, 1, Value("abc")); }), kErrConversion);
  EXPECT_EQ(ErrorNumberOf([&] { rs.UpdateRow(2, 3, Value(1.0)); }), kErrItemNotFound);
  EXPECT_EQ(ErrorNumberOf([&] { rs.UpdateRow(2, 1, Value(99.0)); }), kErrNoCurrentRecord);
  other.Exec("DELETE FROM t WHERE rowid = 2");
  EXPECT_EQ(ErrorNumberOf([&] { rs.UpdateRow(2, 1, Value(5.0)); }), kErrNoCurrentRecord);
  rs.Edit();
  EXPECT_EQ(ErrorNumberOf([&] { rs.UpdateRow(3, 1, Value(5.0)); }), kErrInvalidOperation);
  Recordset keyed = db.OpenRecordset("k");
  EXPECT_EQ(ErrorNumberOf([&] { keyed.UpdateRow(1, 1, Value(5.0)); }), kErrInvalidOperation);
  EXPECT_EQ(other.Scalar("SELECT group_concat(ifnull(Actual, 'null')) FROM t"), Value("7.0,0.25"));

  // Null into a column that replaces it with its default reads back the default.
  other.Exec(
      "CREATE TABLE d(v REAL NOT NULL ON CONFLICT REPLACE DEFAULT 7); INSERT INTO d VALUES (1)");
  Recordset defaulted = db.OpenRecordset("d");
  EXPECT_EQ(defaulted.UpdateRow(1, 0, Value(2.0)), Value(2.0));
  EXPECT_EQ(defaulted.UpdateRow(1, 0, Value::Null()), Value(7.0));
}

TEST(DaoUpdate, RowsAreFoundByTheirKeyWhateverTheColumnsAreNamed) {
  TempDb tmp(
      "CREATE TABLE w(k TEXT PRIMARY KEY, v REAL) WITHOUT ROWID;"
      "INSERT INTO w VALUES ('b', 1), ('a', 2);"
      "CREATE TABLE r(rowid TEXT, oid, v REAL);"
      "INSERT INTO r VALUES ('x', 1, 0), ('x', 1, 0);");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset w = db.OpenRecordset("w");
  w.MoveNext();  // key order: 'a', then 'b'
  w.Edit();
  w.Fields("v").SetValue(20.0);
  w.Update();
  EXPECT_EQ(tmp.Scalar("SELECT v FROM w WHERE k = 'b'"), Value(20.0));
  EXPECT_EQ(tmp.Scalar("SELECT v FROM w WHERE k = 'a'"), Value(2.0));
  Recordset r = db.OpenRecordset("r");
  r.MoveNext();
  r.Edit();
  r.Fields("v").SetValue(7.0);
  r.Update();
  EXPECT_EQ(tmp.Query("SELECT v FROM r ORDER BY _rowid_"),
            (std::vector<test::Row>{{Value(0.0)}, {Value(7.0)}}));
}

// The pattern of a training run: inputs and targets read by queries, one of
// them on a second handle, outputs written row by row through a table-type
// Recordset, with another program holding the file open and watching.
TEST(DaoUpdate, ThreeCursorsSteppedTogetherWhileEachRowIsCommitted) {
  std::string setup =
      "BEGIN; CREATE TABLE t(x REAL, y REAL, w REAL, Actual REAL); CREATE INDEX tw ON t(w);";
  for (int i = 1; i <= 300; ++i) {
    setup += "INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(2 * i) + ", " +
             std::to_string(1000 - i) + ", NULL);";
  }
  TempDb tmp(setup + "COMMIT;");
  RawDb watcher(tmp.path());
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Database training = engine.OpenDatabase(tmp.path());
  Recordset target = training.OpenRecordset("SELECT w FROM t;");
  Recordset output = db.OpenRecordset("t");
  Recordset inputs = db.OpenRecordset("SELECT x, y FROM t");
  for (int epoch = 1; epoch <= 2; ++epoch) {
    target.MoveFirst();
    output.MoveFirst();
    inputs.MoveFirst();
    int row = 0;
    while (!target.IsEOF()) {
      ++row;
      const double x = inputs.Fields(0).GetValue().ToDouble();
      ASSERT_EQ(x, row);
      ASSERT_EQ(target.Fields(0).GetValue().ToDouble(), 1000 - x);
      const double prediction = epoch * 10000 + x;
      output.Edit();
      output.Fields("Actual").SetValue(prediction);
      output.Update();
      if (row % 50 == 1) {
        ASSERT_EQ(watcher.Scalar("SELECT Actual FROM t WHERE x = " + std::to_string(row)),
                  Value(prediction));
      }
      target.MoveNext();
      output.MoveNext();
      inputs.MoveNext();
    }
    EXPECT_EQ(row, 300);
    EXPECT_TRUE(output.IsEOF());
    EXPECT_TRUE(inputs.IsEOF());
  }
  EXPECT_EQ(watcher.Scalar("SELECT count(*) FROM t WHERE Actual = 20000 + x"), Value(300.0));
}

// Cursors that are always mid-scan must not make the write-ahead log grow
// with every epoch of per-row commits.
TEST(DaoUpdate, TheLogStaysBoundedOverManyEpochs) {
  std::string setup = "BEGIN; CREATE TABLE t(x REAL, w REAL, Actual REAL);";
  for (int i = 0; i < 200; ++i) setup += "INSERT INTO t VALUES (" + std::to_string(i) + ", 1, 0);";
  TempDb tmp(setup + "COMMIT;");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Database training = engine.OpenDatabase(tmp.path());
  Recordset target = training.OpenRecordset("SELECT w FROM t;");
  Recordset output = db.OpenRecordset("t");
  Recordset inputs = db.OpenRecordset("SELECT x FROM t");
  std::uintmax_t largest = 0;
  for (int epoch = 0; epoch < 30; ++epoch) {
    target.MoveFirst();
    output.MoveFirst();
    inputs.MoveFirst();
    for (; !target.IsEOF(); target.MoveNext(), output.MoveNext(), inputs.MoveNext()) {
      output.Edit();
      output.Fields("Actual").SetValue(epoch + inputs.Fields(0).GetValue().ToDouble());
      output.Update();
    }
    largest = std::max(largest, std::filesystem::file_size(tmp.path() + "-wal"));
  }
  // One epoch appends about 200 page frames (~0.8 MB); 30 would be ~25 MB.
  // The log is copied once it has SQLite's own checkpoint length, 1000
  // frames (~4 MB), and starts over within the next two epochs.
  EXPECT_LT(largest, 8u << 20);
}

}  // namespace
}  // namespace kelda::data
