// Table definitions, adding Actual, names in generated SQL and the texts
// that reach SQLite.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "data/database.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda::data {
namespace {

using test::ErrorNumberOf;
using test::RaisedBy;
using test::TempDb;

TEST(DaoSchema, ActualIsAddedOnceAndSeenByLaterCursorsOfEveryHandle) {
  TempDb tmp("CREATE TABLE t(x REAL, w REAL); INSERT INTO t VALUES (1, 2);");
  DBEngine engine;
  Database kept = engine.OpenDatabase(tmp.path());
  Recordset before = kept.OpenRecordset("t");
  {
    Database db = engine.OpenDatabase(tmp.path());
    TableDef def = db.TableDefs("T");
    EXPECT_EQ(def.Name(), "t");
    def.Fields().Append(def.CreateField("Actual", kDbDouble));
    EXPECT_EQ(def.Fields().Count(), 3);
    EXPECT_EQ(def.Fields().Name(2), "Actual");
    EXPECT_EQ(ErrorNumberOf([&] { def.Fields().Append(def.CreateField("ACTUAL", kDbDouble)); }),
              kErrFieldExists);
    EXPECT_EQ(ErrorNumberOf([&] { def.Fields().Append(def.CreateField("z", 4)); }),
              kErrInvalidFieldType);
    EXPECT_EQ(ErrorNumberOf([&] { def.Fields().Name(3); }), kErrItemNotFound);
  }
  EXPECT_EQ(tmp.Scalar("SELECT type FROM pragma_table_info('t') WHERE name = 'Actual'"),
            Value("REAL"));
  EXPECT_EQ(before.FieldCount(), 2);  // opened before the column existed
  Recordset after = kept.OpenRecordset("t");
  ASSERT_EQ(after.FieldCount(), 3);
  EXPECT_EQ(after.Fields(2).Name(), "Actual");
  EXPECT_TRUE(after.Fields("Actual").GetValue().IsNull());
  before.MoveFirst();
  EXPECT_EQ(before.Fields(1).GetValue(), Value(2.0));
  EXPECT_EQ(ErrorNumberOf([&] { kept.TableDefs("nosuch"); }), kErrItemNotFound);
}

TEST(DaoSchema, ALastColumnNamedActualInAnotherCaseCollidesWith3191) {
  TempDb tmp("CREATE TABLE t(x REAL, w REAL, actual REAL); INSERT INTO t VALUES (1, 2, 3);");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset table = db.OpenRecordset("t");
  const std::string last = table.Fields(table.FieldCount() - 1).Name();
  ASSERT_NE(last, "Actual");  // the caller's exact test fails, so it adds the column
  auto e = RaisedBy([&] { db.TableDefs("t").Fields().Append(FieldDef{"Actual", kDbDouble}); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), kErrFieldExists);
  EXPECT_NE(e->Description().find("actual"), std::string::npos) << e->Description();
  EXPECT_EQ(tmp.Scalar("SELECT count(*) FROM pragma_table_info('t')"), Value(3.0));
}

TEST(DaoSchema, SqlNameQuotesWhatIsNotAPlainIdentifier) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Price", "Price"},
      {"Actual", "Actual"},
      {"_x9", "_x9"},
      {"select", "\"select\""},
      {"Order", "\"Order\""},
      {"a b", "\"a b\""},
      {"9lives", "\"9lives\""},
      {"x\"y", "\"x\"\"y\""},
      {"", "\"\""},
      {"x; DROP TABLE t", "\"x; DROP TABLE t\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""}};
  for (const auto& [name, sql] : cases) {
    EXPECT_EQ(SqlName(name), sql) << name;
    EXPECT_EQ(IsPlainIdentifier(name), name == sql) << name;
  }
}

TEST(DaoSchema, HostileNamesAreQuotedAndTouchNothingElse) {
  TempDb tmp(
      "CREATE TABLE \"x; DROP TABLE u\"(\"a b\" REAL, \"select\" REAL, \"q\"\"uote\" REAL);"
      "INSERT INTO \"x; DROP TABLE u\" VALUES (1, 2, 3);"
      "CREATE TABLE u(z); INSERT INTO u VALUES (42);");
  std::vector<std::string> texts;
  DBEngine engine;
  engine.SetStatementObserver([&](const std::string& sql) { texts.push_back(sql); });
  Database db = engine.OpenDatabase(tmp.path());
  const std::string table = "x; DROP TABLE u";
  db.TableDefs(table).Fields().Append(FieldDef{"y\"; DROP TABLE u; --", kDbDouble});
  Recordset rs = db.OpenRecordset(table);
  ASSERT_EQ(rs.FieldCount(), 4);
  rs.Edit();
  rs.Fields("q\"uote").SetValue(30.0);
  rs.Fields("y\"; DROP TABLE u; --").SetValue(40.0);
  rs.Update();
  EXPECT_EQ(tmp.Query("SELECT * FROM \"x; DROP TABLE u\""),
            (std::vector<test::Row>{{Value(1.0), Value(2.0), Value(30.0), Value(40.0)}}));
  EXPECT_EQ(tmp.Scalar("SELECT z FROM u"), Value(42.0));
  const std::vector<std::string> expected = {
      "ALTER TABLE \"x; DROP TABLE u\" ADD COLUMN \"y\"\"; DROP TABLE u; --\" REAL",
      "SELECT rowid, \"a b\", \"select\", \"q\"\"uote\", \"y\"\"; DROP TABLE u; --\" FROM "
      "\"x; DROP TABLE u\" ORDER BY rowid",
      "UPDATE \"x; DROP TABLE u\" SET \"q\"\"uote\"=?, \"y\"\"; DROP TABLE u; --\"=? WHERE "
      "rowid=?"};
  for (const std::string& sql : expected) {
    EXPECT_NE(std::find(texts.begin(), texts.end(), sql), texts.end()) << sql;
  }
}

TEST(DaoSchema, TheObserverSeesEveryTextAsItReachesSqlite) {
  TempDb tmp("CREATE TABLE Sales(Price REAL, Volume REAL, Profit REAL, Actual REAL);");
  std::vector<std::string> texts;
  DBEngine engine;
  engine.SetStatementObserver([&](const std::string& sql) { texts.push_back(sql); });
  Database db = engine.OpenDatabase(tmp.path());
  tmp.Exec("INSERT INTO Sales VALUES (1, 2, 3, NULL)");
  db.OpenRecordset("SELECT Price, Volume FROM Sales");
  db.OpenRecordset("SELECT Profit FROM Sales;");
  db.OpenRecordset("SELECT MIN(Price) AS Min1 FROM Sales");
  Recordset out = db.OpenRecordset("Sales");
  out.Edit();
  out.Fields("Actual").SetValue(0.5);
  out.Update();
  for (const char* sql : {"SELECT Price, Volume FROM Sales", "SELECT Profit FROM Sales;",
                          "SELECT MIN(Price) AS Min1 FROM Sales",
                          "SELECT rowid, Price, Volume, Profit, Actual FROM Sales ORDER BY rowid",
                          "UPDATE Sales SET Actual=? WHERE rowid=?"}) {
    EXPECT_NE(std::find(texts.begin(), texts.end(), sql), texts.end()) << sql;
  }
}

}  // namespace
}  // namespace kelda::data
