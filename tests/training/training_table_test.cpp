#include "training/training_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "engine/engine.h"
#include "support/raised.h"
#include "support/temp_db.h"
#include "training/run_setup.h"

namespace kelda::training {
namespace {

using data::Database;
using data::DBEngine;
using ::testing::ElementsAre;

// A fresh database file per test, filled by raw SQL.
class TrainingTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fields_.MSAccessDBName = db_.path();
    engine::ClassInitialize(net_);
    net_.FixedSeed = 7;
    engine_.SetStatementObserver([this](const std::string& sql) { sql_.push_back(sql); });
  }

  void Exec(const std::string& sql) { db_.Exec(sql); }

  std::vector<std::string> Columns(const std::string& table) {
    std::vector<std::string> names;
    for (const test::Row& row : db_.Query("SELECT name FROM pragma_table_info('" + table + "')")) {
      names.push_back(row.at(0).text());
    }
    return names;
  }

  // The texts the run sent that are not the layer's own bookkeeping.
  std::vector<std::string> RunQueries() const {
    std::vector<std::string> out;
    for (const std::string& s : sql_) {
      if (s.rfind("SELECT ", 0) == 0 && s.find("rowid") == std::string::npos &&
          s.find("sqlite_") == std::string::npos && s.find("pragma") == std::string::npos &&
          s.find("PRAGMA") == std::string::npos) {
        out.push_back(s);
      }
    }
    return out;
  }

  int32_t ErrorOf(auto&& f) { return test::ErrorNumberOf(f); }

  test::TempDb db_;
  DBEngine engine_;
  engine::NetworkState net_;
  ObjectFields fields_;
  std::vector<std::string> sql_;
};

TEST_F(TrainingTableTest, SalesTableGainsActualAndItsRangeAndRowQueries) {
  Exec(
      "CREATE TABLE Sales(Price REAL, Volume REAL, Profit REAL);"
      "INSERT INTO Sales VALUES (1, 10, 5), (2, 30, 7), (4, 20, 6);");
  fields_.MSAccessTableName = "Sales";
  RunHandles run = OpenTrainingTable(engine_, net_, fields_);

  EXPECT_THAT(Columns("Sales"), ElementsAre("Price", "Volume", "Profit", "Actual"));
  EXPECT_EQ(run.FieldCount, 4);
  EXPECT_EQ(fields_.RecordCount, 4);
  ASSERT_EQ(fields_.InputNames.UBound(), 4);
  EXPECT_EQ(fields_.InputNames(0), Value("Price"));
  EXPECT_EQ(fields_.InputNames(1), Value("Volume"));
  EXPECT_TRUE(fields_.InputNames(2).IsEmpty());
  EXPECT_TRUE(fields_.InputNames(4).IsEmpty());
  EXPECT_THAT(
      RunQueries(),
      ElementsAre("SELECT Profit FROM Sales;", "SELECT MIN(Price) AS Min1 FROM Sales",
                  "SELECT MAX(Price) AS Max1 FROM Sales", "SELECT MIN(Volume) AS Min1 FROM Sales",
                  "SELECT MAX(Volume) AS Max1 FROM Sales",
                  "SELECT MIN(Profit) AS OutMin FROM Sales",
                  "SELECT MAX(Profit) AS OutMax FROM Sales", "SELECT Price, Volume FROM Sales"));
  EXPECT_EQ(fields_.InputMin(1), 1.0);
  EXPECT_EQ(fields_.InputMax(1), 4.0);
  EXPECT_EQ(fields_.InputMin(2), 10.0);
  EXPECT_EQ(fields_.InputMax(2), 30.0);
  EXPECT_EQ(fields_.TargetMin(1), Value(5.0));
  EXPECT_EQ(fields_.TargetMax(1), Value(7.0));
  EXPECT_EQ(fields_.InputMin(3), 0.0);          // zeroed, not a range
  EXPECT_TRUE(fields_.TargetMin(4).IsEmpty());  // element RecordCount stays as sized

  // The three row sources stand on the first row, in step.
  EXPECT_EQ(run.InputRecordset->Fields(0).GetValue(), Value(1.0));
  EXPECT_EQ(fields_.TargetRecordset->Fields(0).GetValue(), Value(5.0));
  EXPECT_EQ(run.OutputRecordset->Fields("Price").GetValue(), Value(1.0));
}

TEST_F(TrainingTableTest, SizesTheNetworkAndSetsTheRunParameters) {
  Exec(
      "CREATE TABLE t(a, b, target, Actual REAL);"
      "INSERT INTO t VALUES (1,2,3,NULL),(2,3,4,NULL);");
  fields_.MSAccessTableName = "t";
  fields_.HiddenLayerCount = 0;
  OpenTrainingTable(engine_, net_, fields_);
  EXPECT_EQ(net_.InputUnits, 3);
  EXPECT_EQ(net_.LayerUnits(0), 0);
  EXPECT_EQ(net_.LayerUnits(1), 3);
  EXPECT_EQ(net_.LayerUnits(2), 20);
  EXPECT_EQ(net_.LayerUnits(3), 1);
  EXPECT_EQ(net_.PatternEnd, 3);
  EXPECT_EQ(net_.OutputSpan, 1.0f);
  EXPECT_EQ(net_.ReportInterval, 10);
  EXPECT_EQ(double(net_.LearningRate), 0.15000000596046448);
  EXPECT_EQ(double(net_.Momentum), 0.8999999761581421);
  EXPECT_EQ(net_.InitialTemperature, 2.0f);
  EXPECT_EQ(fields_.HiddenLayerCount, 20);
  // An existing Actual is kept as it is.
  EXPECT_THAT(Columns("t"), ElementsAre("a", "b", "target", "Actual"));

  fields_.HiddenLayerCount = -3;
  OpenTrainingTable(engine_, net_, fields_);
  EXPECT_EQ(fields_.HiddenLayerCount, -3);
  EXPECT_EQ(net_.LayerUnits(2), 20);
}

TEST_F(TrainingTableTest, FirstRunAfterCreationStartsAtTemperatureFiveLaterRunsAtTwo) {
  Exec("CREATE TABLE t(a, target); INSERT INTO t VALUES (1,3),(2,4);");
  fields_.MSAccessTableName = "t";
  OpenTrainingTable(engine_, net_, fields_);
  EXPECT_EQ(net_.Temperature(1, 2), 5.0);
  EXPECT_EQ(net_.Temperature(20, 3), 5.0);
  OpenTrainingTable(engine_, net_, fields_);
  EXPECT_EQ(net_.Temperature(1, 2), 2.0);
  // Actual was added by the first run only.
  EXPECT_THAT(Columns("t"), ElementsAre("a", "target", "Actual"));
}

TEST_F(TrainingTableTest, SecondRunReplacesTheKeptHandles) {
  Exec("CREATE TABLE t(a, target); INSERT INTO t VALUES (1,3),(2,4);");
  fields_.MSAccessTableName = "t";
  OpenTrainingTable(engine_, net_, fields_);
  Exec("UPDATE t SET target = 9 WHERE a = 1;");
  OpenTrainingTable(engine_, net_, fields_);
  ASSERT_TRUE(fields_.TargetRecordset.has_value());
  EXPECT_EQ(fields_.TargetRecordset->Fields(0).GetValue(), Value(9.0));
}

TEST_F(TrainingTableTest, LowerCaseActualIsNotTheOutputColumnAndTheAddCollides) {
  Exec("CREATE TABLE t(a, target, actual REAL); INSERT INTO t VALUES (1,3,0),(2,4,0);");
  fields_.MSAccessTableName = "t";
  EXPECT_EQ(ErrorOf([&] { OpenTrainingTable(engine_, net_, fields_); }), kErrFieldExists);
  EXPECT_THAT(Columns("t"), ElementsAre("a", "target", "actual"));
}

TEST_F(TrainingTableTest, RowCounting) {
  Exec(
      "CREATE TABLE empty(a, target); CREATE TABLE three(a, target);"
      "INSERT INTO three VALUES (1,1),(2,2),(3,3);");
  fields_.MSAccessTableName = "empty";
  CountTableRows(engine_, fields_);
  EXPECT_EQ(fields_.RecordCount, 1);
  fields_.MSAccessTableName = "three";
  CountTableRows(engine_, fields_);
  EXPECT_EQ(fields_.RecordCount, 4);
}

TEST_F(TrainingTableTest, TargetWithoutValuesLeavesNullRanges) {
  Exec("CREATE TABLE t(a, target); INSERT INTO t VALUES (1, NULL), (2, NULL);");
  fields_.MSAccessTableName = "t";
  OpenTrainingTable(engine_, net_, fields_);
  EXPECT_TRUE(fields_.TargetMin(1).IsNull());
  EXPECT_TRUE(fields_.TargetMax(1).IsNull());
  EXPECT_EQ(ErrorOf([&] { UnscaleOutput(fields_, 0.5); }), kErrInvalidUseOfNull);
}

TEST_F(TrainingTableTest, NamesThatAreNotPlainIdentifiersAreQuoted) {
  Exec(
      "CREATE TABLE \"x; DROP TABLE keep\"(\"unit price\", \"select\", \"it's\");"
      "INSERT INTO \"x; DROP TABLE keep\" VALUES (1, 2, 3), (2, 5, 4);"
      "CREATE TABLE keep(v); INSERT INTO keep VALUES (42);");
  fields_.MSAccessTableName = "x; DROP TABLE keep";
  OpenTrainingTable(engine_, net_, fields_);
  EXPECT_THAT(Columns("keep"), ElementsAre("v"));
  EXPECT_THAT(RunQueries(),
              ::testing::Contains("SELECT \"unit price\", \"select\" FROM \"x; DROP TABLE keep\""));
  EXPECT_EQ(fields_.InputMax(2), 5.0);
  EXPECT_EQ(fields_.TargetMax(1), Value(4.0));
}

TEST_F(TrainingTableTest, ScalingRule) {
  Exec("CREATE TABLE t(a, c, target); INSERT INTO t VALUES (2, 1, -4), (6, 1, 6);");
  fields_.MSAccessTableName = "t";
  OpenTrainingTable(engine_, net_, fields_);
  EXPECT_EQ(ScaleInput(fields_, 1, 2.0), 0.0);
  EXPECT_EQ(ScaleInput(fields_, 1, 6.0), 1.0);
  EXPECT_EQ(ScaleInput(fields_, 1, 3.0), 0.25);
  EXPECT_EQ(UnscaleOutput(fields_, 0.5), 1.0);
  EXPECT_EQ(UnscaleOutput(fields_, 0.0), -4.0);
  // A constant column divides zero by zero.
  EXPECT_EQ(ErrorOf([&] { ScaleInput(fields_, 2, 1.0); }), kErrOverflow);
}

TEST(TrainingTableRows, TheRowsOfARunAreThoseCountedAtItsStart) {
  test::TempDb tmp(
      "CREATE TABLE t(x, y, Actual REAL);"
      "INSERT INTO t(rowid, x, y) VALUES (3, 1, 1), (4, 2, 2);");
  DBEngine engine;
  ObjectFields fields;
  fields.MSAccessDBName = tmp.path();
  fields.MSAccessTableName = "t";
  CountTableRows(engine, fields);
  EXPECT_EQ(fields.RecordCount, 3);
  ASSERT_NE(fields.RunRows, nullptr);
  EXPECT_EQ(*fields.RunRows, (data::RowIds{3, 4}));
}

// A query in place of a table is refused before its rows are counted, even
// when there is no end to them.
TEST(TrainingTableRows, AnEndlessQueryIsRefusedBeforeItsRowsAreCounted) {
  test::TempDb tmp("CREATE TABLE t(a)");
  DBEngine engine;
  ObjectFields fields;
  fields.MSAccessDBName = tmp.path();
  const std::string endless = "WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) ";
  fields.MSAccessTableName = endless + "SELECT i, i AS y FROM r";
  EXPECT_EQ(test::ErrorNumberOf([&] { CountTableRows(engine, fields); }), kErrItemNotFound);
  fields.MSAccessTableName = endless + "SELECT i, i AS Actual FROM r";
  EXPECT_EQ(test::ErrorNumberOf([&] { CountTableRows(engine, fields); }), kErrTableNotFound);
}

struct TextRangeCase {
  const char* name;
  const char* declared;  // the columns' declared type
  const char* values;    // VALUES rows of (x, target)
  double x_min, x_max, target_min, target_max;
  int32_t error;  // 0: the ranges above
};

void PrintTo(const TextRangeCase& c, std::ostream* os) { *os << c.name; }

class TextRange : public ::testing::TestWithParam<TextRangeCase> {};

TEST_P(TextRange, IsTakenOverTheNumbers) {
  const TextRangeCase& c = GetParam();
  test::TempDb tmp(std::string("CREATE TABLE t(x ") + c.declared + ", target " + c.declared +
                   ", Actual REAL); INSERT INTO t(x, target) VALUES " + c.values + ";");
  DBEngine engine;
  Database db = engine.OpenDatabase(tmp.path());
  ObjectFields fields;
  fields.MSAccessTableName = "t";
  fields.RecordCount = 4;
  for (auto* a : {&fields.InputMin, &fields.InputMax}) a->Redim(4);
  for (auto* a : {&fields.TargetMin, &fields.TargetMax}) a->Redim(4);
  fields.InputNames.Redim(3);
  fields.InputNames(0) = Value(std::string("x"));
  const int32_t error = test::ErrorNumberOf([&] { QueryRanges(db, fields, "target"); });
  ASSERT_EQ(error, c.error);
  if (error != 0) return;
  EXPECT_EQ(fields.InputMin(1), c.x_min);
  EXPECT_EQ(fields.InputMax(1), c.x_max);
  EXPECT_EQ(fields.TargetMin(1).ToDouble(), c.target_min);
  EXPECT_EQ(fields.TargetMax(1).ToDouble(), c.target_max);
}

INSTANTIATE_TEST_SUITE_P(
    Columns, TextRange,
    ::testing::Values(
        TextRangeCase{"TextColumn", "TEXT", "('9', '9'), ('10', '10'), ('100', '100')", 9, 100, 9,
                      100, 0},
        TextRangeCase{"UntypedMixed", "", "(' 2', 3), ('1.5', '10'), (NULL, 9)", 1.5, 2, 3, 10, 0},
        TextRangeCase{"NotANumber", "TEXT", "('9', 1), ('ten', 2)", 0, 0, 0, 0, kErrTypeMismatch},
        TextRangeCase{"Numbers", "REAL", "(9, 9), (10, 10), (100, 100)", 9, 100, 9, 100, 0}),
    [](const ::testing::TestParamInfo<TextRangeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kelda::training
