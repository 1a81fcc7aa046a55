// A CSV file's import and the hold-out figures of a later run: what the new table
// holds, what the database file goes through when imports meet or fail, and
// which side table counts as the held-out rows' own.
#include <kelda/import.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/raised.h"
#include "support/temp_db.h"

namespace {

using kelda::ImportCsv;
using kelda::ImportOptions;
using kelda::MeasureHoldout;
using kelda::Value;
using kelda::test::ErrorNumberOf;
using kelda::test::RaisedBy;
using kelda::test::RawDb;
using kelda::test::TempDb;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace fs = std::filesystem;

ImportOptions Options(std::string csv, std::string database, std::string target,
                      double holdout = 0.0) {
  ImportOptions o;
  o.csv = std::move(csv);
  o.database = std::move(database);
  o.table = "T";
  o.target = std::move(target);
  o.holdout = holdout;
  return o;
}

std::vector<double> Numbers(const std::vector<kelda::test::Row>& rows) {
  std::vector<double> values;
  for (const auto& row : rows) {
    for (const Value& v : row) values.push_back(v.IsNumber() ? v.number() : -999.0);
  }
  return values;
}

// Two imports of one table into a database file that neither finds: one
// makes the file and the table, the other is refused, and what the first
// made stays.
TEST(ImportFileTest, TwoImportsIntoANewFileKeepTheOneThatWon) {
  const TempDb dir;
  const std::string csv = dir.WriteFile("d.csv", "a,y\n1,2\n3,4\n");
  for (int pair = 0; pair < 30; ++pair) {
    const std::string db = dir.File("new" + std::to_string(pair) + ".db");
    const ImportOptions options = Options(csv, db, "y");
    int errors[2] = {};
    std::thread first([&] { errors[0] = ErrorNumberOf([&] { ImportCsv(options); }); });
    std::thread second([&] { errors[1] = ErrorNumberOf([&] { ImportCsv(options); }); });
    first.join();
    second.join();
    ASSERT_EQ(std::min(errors[0], errors[1]), 0) << "pair " << pair;
    ASSERT_EQ(std::max(errors[0], errors[1]), kelda::kErrDatabase) << "pair " << pair;
    ASSERT_TRUE(fs::exists(db)) << "pair " << pair;
    EXPECT_EQ(Numbers(RawDb(db).Query("SELECT a, y FROM T")), (std::vector<double>{1, 2, 3, 4}));
  }
  std::vector<std::string> expected = {"d.csv", "test.db"};
  for (int pair = 0; pair < 30; ++pair) expected.push_back("new" + std::to_string(pair) + ".db");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kelda::test::NamesIn(dir.dir()), expected);
}

TEST(ImportFileTest, SymbolicLinksAreNeverReplaced) {
  const TempDb dir("CREATE TABLE other (x);");
  const std::string csv = dir.WriteFile("d.csv", "a,y\n1,2\n");
  // A link to a missing file is refused; the link stays, and nothing
  // appears where it points.
  const std::string dangling = dir.File("dangling.db");
  fs::create_symlink(dir.File("nowhere.db"), dangling);
  const std::optional<kelda::Error> e = RaisedBy([&] { ImportCsv(Options(csv, dangling, "y")); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kelda::kErrCannotOpen);
  EXPECT_THAT(e->Description(), HasSubstr("symbolic link to a missing file"));
  EXPECT_TRUE(fs::is_symlink(dangling));
  EXPECT_FALSE(fs::exists(dir.File("nowhere.db")));
  // A link to a database is written through, and a failure there leaves
  // both as they were.
  const std::string link = dir.File("link.db");
  fs::create_symlink(dir.path(), link);
  ImportCsv(Options(csv, link, "y"));
  EXPECT_EQ(ErrorNumberOf([&] { ImportCsv(Options(csv, link, "y")); }), kelda::kErrDatabase);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(RawDb(dir.path()).Query("SELECT name FROM sqlite_master ORDER BY name").size(), 2u);
  EXPECT_EQ(kelda::test::NamesIn(dir.dir()),
            (std::vector<std::string>{"d.csv", "dangling.db", "link.db", "test.db"}));
}

// Columns that SQLite also knows as names of a row's number.
class RowNumberNameTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RowNumberNameTest, KeepsTheFilesValues) {
  const TempDb dir;
  const std::string name = GetParam();
  const std::string csv = dir.WriteFile("d.csv", name + ",b,y\n10,20,30\n40,50,60\n");
  ImportCsv(Options(csv, dir.path(), "y"));
  EXPECT_EQ(Numbers(dir.Query("SELECT \"" + name + "\", b, y FROM T")),
            (std::vector<double>{10, 20, 30, 40, 50, 60}));
  // As the target too.
  ImportOptions as_target = Options(csv, dir.path(), name);
  as_target.table = "U";
  ImportCsv(as_target);
  EXPECT_EQ(Numbers(dir.Query("SELECT b, y, \"" + name + "\" FROM U")),
            (std::vector<double>{20, 30, 10, 50, 60, 40}));
}

INSTANTIATE_TEST_SUITE_P(Names, RowNumberNameTest, ::testing::Values("ROWID", "oid", "_rowid_"));

struct BadFile {
  const char* name;
  std::string csv;
  std::string target;
  double holdout;
  int number;
  const char* text;
};

void PrintTo(const BadFile& b, std::ostream* os) { *os << b.name; }

class BadFileTest : public ::testing::TestWithParam<BadFile> {};

// Refused with a message of a sensible length, and quickly.
TEST_P(BadFileTest, IsRefusedBriefly) {
  const BadFile& c = GetParam();
  const TempDb dir;
  const std::string csv = dir.WriteFile("d.csv", c.csv);
  const auto start = Clock::now();
  const std::optional<kelda::Error> e =
      RaisedBy([&] { ImportCsv(Options(csv, dir.File("new.db"), c.target, c.holdout)); });
  EXPECT_LT(Clock::now() - start, milliseconds(3000));
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), c.number);
  EXPECT_THAT(e->Description(), HasSubstr(c.text));
  EXPECT_LT(e->Description().size(), 400u);
  EXPECT_FALSE(fs::exists(dir.File("new.db")));
}

std::string ManyColumns(int n) {
  std::string header;
  for (int i = 0; i < n; ++i) header += "c" + std::to_string(i) + ",";
  return header + "C0\n";
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFileTest,
    ::testing::Values(
        BadFile{"PlusMinus", "a,y\n+-1,2\n", "y", 0, kelda::kErrTypeMismatch, "'+-1'"},
        BadFile{"Ragged", "a,b,y\n1,2\n", "y", 0, kelda::kErrInvalidArgument, "line 2"},
        BadFile{"OpenQuote", "a,b,y\n1,\"2,3\n", "y", 0, kelda::kErrInvalidArgument,
                "never closed"},
        BadFile{"NamedTwice", "a,A,y\n1,2,3\n", "y", 0, kelda::kErrInvalidArgument, "named twice"},
        BadFile{"NoSuchTarget", "a,b,y\n1,2,3\n", "z", 0, kelda::kErrInvalidArgument,
                "no column 'z'"},
        BadFile{"TargetActual", "a,Actual\n1,2\n", "Actual", 0, kelda::kErrInvalidArgument,
                "Actual"},
        BadFile{"HoldoutLeavesNoExample", "a,b,y\n1,2,3\n", "y", 0.9, kelda::kErrInvalidArgument,
                "no example"},
        // The quoted cell spans two lines, so the bad cell stands on line 5.
        BadFile{"NotANumber", "a,b,y\n1,2,3\n\"4\n\",5,6\n7,x7,8\n", "y", 0,
                kelda::kErrTypeMismatch, "line 5, column 2 'b'"},
        BadFile{"PlusMinusTarget", "a,y\n1, +-2\n", "y", 0, kelda::kErrTypeMismatch, "+-2"},
        BadFile{"HugeCell", "a,y\n" + std::string(10 << 20, 'x') + ",2\n", "y", 0,
                kelda::kErrTypeMismatch, "'xxxxx"},
        BadFile{"HugeName",
                std::string(1 << 20, 'n') + ",y," + std::string(1 << 20, 'n') + "\n1,2,3\n", "y", 0,
                kelda::kErrInvalidArgument, "named twice"},
        BadFile{"ManyColumns", ManyColumns(200000) + "1\n", "c1", 0, kelda::kErrInvalidArgument,
                "'C0' is named twice"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

// x, y = 10x over 20 rows, two rows to predict; a quarter held out.
class HoldoutTest : public ::testing::Test {
 protected:
  HoldoutTest() {
    std::string text = "x,y\n";
    for (int i = 0; i < 20; ++i) text += std::to_string(i) + "," + std::to_string(10 * i) + "\n";
    text += "100,\n101,\n";
    ImportOptions options = Options(dir_.WriteFile("n.csv", text), dir_.path(), "y", 0.25);
    options.shuffle = 3;
    ImportCsv(options);
  }

  // Predictions 1 off each true target: an RMSE of 1 exactly when every
  // held-out row meets its own prediction.
  void Predict() const { dir_.Exec("UPDATE T SET Actual = x * 10 + 1"); }

  TempDb dir_;
};

TEST_F(HoldoutTest, FiguresSurviveAVacuum) {
  Predict();
  const std::string first_trained =
      "SELECT rowid FROM T WHERE y IS NOT NULL ORDER BY rowid LIMIT 1";
  dir_.Exec("DELETE FROM T WHERE rowid = (" + first_trained + "); VACUUM;");
  // The rows were renumbered: the rowids kept aside no longer name them.
  EXPECT_LT(dir_.Scalar("SELECT count(*) FROM T_holdout h JOIN T t ON t.rowid = h.row "
                        "WHERE t.x * 10 = h.y")
                .number(),
            5);
  std::optional<kelda::FitFigures> fit = MeasureHoldout(dir_.path(), "T");
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit->examples, 5);
  ASSERT_TRUE(fit->rmse.has_value());
  EXPECT_EQ(*fit->rmse, 1.0);

  // A held-out row deleted is left out of the figures.
  dir_.Exec(
      "DELETE FROM T WHERE rowid = (SELECT max(rowid) FROM T WHERE x < 100 AND y IS NULL);"
      "VACUUM;");
  fit = MeasureHoldout(dir_.path(), "T");
  ASSERT_TRUE(fit.has_value() && fit->rmse.has_value());
  EXPECT_EQ(fit->examples, 4);
  EXPECT_EQ(*fit->rmse, 1.0);
}

// The side table's own column steps aside for a column of the table.
TEST(HoldoutNamesTest, AColumnNamedRowIsHeldOutToo) {
  const TempDb dir;
  ImportCsv(
      Options(dir.WriteFile("d.csv", "Row,y\n1,10\n2,20\n3,30\n4,40\n"), dir.path(), "y", 0.5));
  dir.Exec("UPDATE T SET Actual = Row * 10 + 2");
  const std::optional<kelda::FitFigures> fit = MeasureHoldout(dir.path(), "T");
  ASSERT_TRUE(fit.has_value() && fit->rmse.has_value());
  EXPECT_EQ(fit->examples, 2);
  EXPECT_EQ(*fit->rmse, 2.0);
}

}  // namespace
