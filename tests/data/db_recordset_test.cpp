// Reading through Recordsets: fields, positions, row order, refused SQL.
#include <gtest/gtest.h>

#include <vector>

#include "data/database.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda::data {
namespace {

using test::ErrorNumberOf;
using test::RaisedBy;
using test::TempDb;

std::vector<double> Column(Recordset& rs, int field) {
  std::vector<double> values;
  for (rs.MoveFirst(); !rs.IsEOF(); rs.MoveNext()) {
    values.push_back(rs.Fields(field).GetValue().ToDouble());
  }
  return values;
}

// A field read as a number: what the field's value converts to, or the
// conversion's error, whatever the column holds and however the row got it.
TEST(DaoRecordset, NumbersReadAsTheirValuesConvert) {
  TempDb tmp(
      "CREATE TABLE t(a REAL, b INTEGER, c TEXT, d BLOB, e);"
      "INSERT INTO t VALUES (2.5, -3, ' 4.25', x'01', NULL), (1e300, 7, 'x', NULL, 'y');");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  Recordset query = db.OpenRecordset("SELECT e, c, a FROM t");
  const auto same = [](const Recordset& r, int field) {
    const int by_value = ErrorNumberOf([&] { r.Fields(field).GetValue().ToDouble(); });
    EXPECT_EQ(ErrorNumberOf([&] { r.Fields(field).GetNumber(); }), by_value) << "field " << field;
    if (by_value == 0) {
      EXPECT_EQ(r.Fields(field).GetNumber(), r.Fields(field).GetValue().ToDouble());
    }
  };
  for (int row = 0; row < 2; ++row) {
    for (int f = 0; f < 5; ++f) same(rs, f);
    for (int f = 0; f < 3; ++f) same(query, f);
    rs.MoveNext();
    query.MoveNext();
  }
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields(0).GetNumber(); }), kErrNoCurrentRecord);

  rs.MoveFirst();
  EXPECT_EQ(rs.Fields(2).GetNumber(), 4.25);
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields(4).GetNumber(); }), kErrInvalidUseOfNull);
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields(3).GetNumber(); }), kErrTypeMismatch);
  // Assigned, then stored: the row reads as it will be, then as it is.
  rs.Edit();
  rs.Fields(0).SetValue(Value("8.5"));
  rs.Fields(4).SetValue(Value("z"));
  EXPECT_EQ(rs.Fields(0).GetNumber(), 8.5);
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields(4).GetNumber(); }), kErrTypeMismatch);
  rs.Update();
  EXPECT_EQ(rs.Fields(0).GetNumber(), 8.5);
  same(rs, 4);
  EXPECT_EQ(rs.Fields(1).GetNumber(), -3.0);
}

TEST(DaoRecordset, TableTypeReadsEveryKindOfValueLazily) {
  TempDb tmp(
      "CREATE TABLE Sales(Price REAL, Volume INTEGER, Note TEXT, Data BLOB);"
      "INSERT INTO Sales VALUES (2.5, 3, 'a', x'0102'), (NULL, -4, '', NULL);");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("sales");  // table names ignore case
  ASSERT_EQ(rs.FieldCount(), 4);
  EXPECT_EQ(rs.Fields(1).Name(), "Volume");
  EXPECT_EQ(rs.Fields("PRICE").GetValue(), Value(2.5));
  EXPECT_EQ(rs.Fields("Volume").GetValue(), Value(3.0));
  EXPECT_EQ(rs.Fields("Note").GetValue(), Value("a"));
  EXPECT_EQ(rs.Fields("Data").GetValue(), Value(Value::Blob{1, 2}));
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields("Missing"); }), kErrItemNotFound);
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields(4); }), kErrItemNotFound);
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields(-1); }), kErrItemNotFound);
  rs.MoveNext();
  EXPECT_TRUE(rs.Fields(0).GetValue().IsNull());
  EXPECT_EQ(rs.Fields(2).GetValue(), Value(""));
  Field past = rs.Fields(0);
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEOF());
  for (auto step :
       {+[](Recordset& r) { r.MoveNext(); }, +[](Recordset& r) { r.Fields(0).GetValue(); },
        +[](Recordset& r) { r.Edit(); }}) {
    auto e = RaisedBy([&] { step(rs); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Number(), kErrNoCurrentRecord);
    EXPECT_EQ(e->Description(), "No current record.");
  }
  EXPECT_EQ(ErrorNumberOf([&] { past.GetValue(); }), kErrNoCurrentRecord);
  // MoveFirst reads the rows again, changes of other programs included.
  tmp.Exec("UPDATE Sales SET Price = 9 WHERE Volume = 3");
  rs.MoveFirst();
  EXPECT_EQ(rs.Fields(0).GetValue(), Value(9.0));
}

TEST(DaoRecordset, EmptyTableIsAtItsEndAtOnce) {
  TempDb tmp("CREATE TABLE t(a, b)");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("t");
  EXPECT_TRUE(rs.IsEOF());
  EXPECT_EQ(rs.FieldCount(), 2);
  Recordset min = db.OpenRecordset("SELECT MIN(a) AS Min1 FROM t");
  ASSERT_FALSE(min.IsEOF());
  EXPECT_TRUE(min.Fields("Min1").GetValue().IsNull());
}

TEST(DaoRecordset, AggregateGivesOneRowNamedByItsAlias) {
  TempDb tmp("CREATE TABLE t(x, y); INSERT INTO t VALUES (3, 'b'), (-1, 'a'), (7, 'c');");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("SELECT MIN(x) AS Min1 FROM t");
  ASSERT_EQ(rs.FieldCount(), 1);
  EXPECT_EQ(rs.Fields(0).Name(), "Min1");
  EXPECT_EQ(rs.Fields("min1").GetValue(), Value(-1.0));
  rs.MoveNext();
  EXPECT_TRUE(rs.IsEOF());
  Recordset max = db.OpenRecordset("  \n\tselect MAX(y) AS OutMax FROM t");
  EXPECT_EQ(max.Fields("OutMax").GetValue(), Value("c"));
  Recordset with = db.OpenRecordset("WITH m AS (SELECT MAX(x) AS v FROM t) SELECT v FROM m");
  EXPECT_EQ(with.Fields("v").GetValue(), Value(7.0));
}

// Row order: every row source over a table yields the table's own order,
// whatever indexes it has. The target column w is indexed and grows opposite
// to the table's order, so a covering-index scan would reorder it. (SQLite
// still reads a table without rowid through a covering index when that is
// cheaper, so that case has no secondary index here.)
struct OrderCase {
  const char* name;
  const char* setup;
  std::vector<double> w_in_table_order;
};

class DaoRowOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(DaoRowOrder, EveryRowSourceSeesTheTablesOwnOrder) {
  TempDb tmp(GetParam().setup);
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset target = db.OpenRecordset("SELECT w FROM t;");
  Recordset inputs = db.OpenRecordset("SELECT k, a FROM t");
  Recordset table = db.OpenRecordset("t");
  EXPECT_EQ(Column(target, 0), GetParam().w_in_table_order);
  EXPECT_EQ(Column(table, 2), GetParam().w_in_table_order);
  // Stepped together, the three sources pair each row's inputs with its target.
  target.MoveFirst();
  inputs.MoveFirst();
  table.MoveFirst();
  for (; !target.IsEOF(); target.MoveNext(), inputs.MoveNext(), table.MoveNext()) {
    ASSERT_FALSE(inputs.IsEOF());
    ASSERT_FALSE(table.IsEOF());
    EXPECT_EQ(target.Fields(0).GetValue().ToDouble(),
              100 - inputs.Fields("a").GetValue().ToDouble());
    EXPECT_EQ(table.Fields("k").GetValue().Describe(), inputs.Fields("k").GetValue().Describe());
  }
  EXPECT_TRUE(inputs.IsEOF());
  EXPECT_TRUE(table.IsEOF());
}

INSTANTIATE_TEST_SUITE_P(
    Tables, DaoRowOrder,
    ::testing::Values(
        OrderCase{"RowidTable",
                  "CREATE TABLE t(k, a, w, Actual REAL); CREATE INDEX tw ON t(w);"
                  "CREATE INDEX tka ON t(a, k);"
                  "INSERT INTO t VALUES (1, 10, 90, NULL), (2, 20, 80, NULL), (3, 30, 70, NULL);",
                  {90, 80, 70}},
        OrderCase{"RowidTableFilledOutOfOrder",
                  "CREATE TABLE t(k, a, w); CREATE INDEX tw ON t(w);"
                  "INSERT INTO t(rowid, k, a, w) VALUES (5, 1, 70, 30), (2, 2, 20, 80),"
                  " (9, 3, 50, 50);",
                  {80, 30, 50}},
        OrderCase{"WithoutRowidDescendingKey",
                  "CREATE TABLE t(k TEXT, a, w, PRIMARY KEY (k DESC)) WITHOUT ROWID;"
                  "INSERT INTO t VALUES ('b', 20, 80), ('c', 5, 95), ('a', 40, 60);",
                  {95, 80, 60}},
        OrderCase{"ColumnNamedRowid",
                  "CREATE TABLE t(k, a, w, rowid); CREATE INDEX tw ON t(w);"
                  "INSERT INTO t VALUES (1, 10, 90, 3), (2, 20, 80, 2), (3, 30, 70, 1);",
                  {90, 80, 70}}),
    [](const auto& info) { return info.param.name; });

struct RefusedText {
  const char* name;
  const char* sql;
  int error;
};

class DaoRefusedSql : public ::testing::TestWithParam<RefusedText> {};

TEST_P(DaoRefusedSql, RaisesItsNumberAndChangesNothing) {
  TempDb tmp(
      "CREATE TABLE t(a, b); INSERT INTO t VALUES (1, 2);"
      "CREATE TABLE u(z); INSERT INTO u VALUES (42);");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  auto e = RaisedBy([&] { db.OpenRecordset(GetParam().sql); });
  ASSERT_TRUE(e) << GetParam().sql;
  EXPECT_EQ(e->Number(), GetParam().error) << e->Description();
  EXPECT_EQ(tmp.Scalar("SELECT count(*) FROM t"), Value(1.0));
  EXPECT_EQ(tmp.Scalar("SELECT z FROM u"), Value(42.0));
  // The database stays usable.
  EXPECT_EQ(db.OpenRecordset("t").Fields("b").GetValue(), Value(2.0));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DaoRefusedSql,
    ::testing::Values(RefusedText{"SecondStatement", "SELECT a FROM t; DROP TABLE u", 3142},
                      RefusedText{"SecondStatementAfterComment",
                                  "SELECT a FROM t; -- x\nDELETE FROM u", 3142},
                      RefusedText{"TrailingGarbage", "SELECT a FROM t; nonsense", 3142},
                      RefusedText{"WritingWith", "WITH x AS (SELECT 1) DELETE FROM u", 3219},
                      RefusedText{"UnknownColumn", "SELECT nosuch FROM t", 3061},
                      RefusedText{"UnknownTableInQuery", "SELECT a FROM nosuch", 3078},
                      RefusedText{"Syntax", "SELECT a FROM", 3075},
                      RefusedText{"UnknownName", "nosuch", 3078},
                      RefusedText{"NotAQuery", "DELETE FROM u", 3078},
                      RefusedText{"SelectPrefixOnly", "SELECTED", 3078}),
    [](const auto& info) { return info.param.name; });

TEST(DaoRecordset, QueryTextMayEndInSemicolonsAndCommentsAndIsReadOnly) {
  TempDb tmp("CREATE TABLE t(a); INSERT INTO t VALUES (5);");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("SELECT a FROM t; ; -- done\n/* really */");
  EXPECT_EQ(rs.Fields("a").GetValue(), Value(5.0));
  EXPECT_EQ(ErrorNumberOf([&] { rs.Edit(); }), kErrInvalidOperation);
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields(0).SetValue(1.0); }), kErrNotInEdit);
}

}  // namespace
}  // namespace kelda::data
