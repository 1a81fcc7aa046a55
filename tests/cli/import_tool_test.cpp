// `kelda import` and the hold-out figures of a later run as the tool shows
// them: a side table import did not make, and a long import stopped by Ctrl-C.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kelda/import.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/process.h"
#include "support/temp_db.h"

namespace {

using kelda::MeasureHoldout;
using kelda::test::TempDb;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A table named like the side table that import did not make gives no
// figures: the run's summary comes all the same.
class ForeignHoldoutTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ForeignHoldoutTest, GivesNoFigures) {
  const TempDb dir(
      "CREATE TABLE T (x REAL, y REAL);"
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 19)"
      "  INSERT INTO T SELECT i, i * 10 FROM n;");
  dir.Exec(GetParam());
  const kelda::test::ProcessResult o = kelda::test::RunProcess(
      KELDA_BINARY, {"train", dir.path(), "T", "--epochs", "2", "--seed", "1"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_THAT(o.out, HasSubstr("Trained on table 'T'"));
  EXPECT_THAT(o.out, Not(HasSubstr("Held-out")));
  EXPECT_FALSE(MeasureHoldout(dir.path(), "T").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ForeignHoldoutTest,
    ::testing::Values("CREATE TABLE T_holdout (note TEXT); INSERT INTO T_holdout VALUES ('a');",
                      "CREATE TABLE T_holdout (row INTEGER PRIMARY KEY, y REAL, z REAL);"
                      "INSERT INTO T_holdout VALUES (1, 5, 0), (2, 7, 0);",
                      // What earlier versions made: the rowids alone tie it.
                      "CREATE TABLE T_holdout (row INTEGER PRIMARY KEY, y REAL);"
                      "INSERT INTO T_holdout VALUES (1, 5), (2, 7);"));

// The tool stopped by Ctrl-C in the middle of a long import.
TEST(ImportInterruptTest, StopsPromptlyAndLeavesTheDatabaseAsItWas) {
  const TempDb dir("CREATE TABLE other (x); INSERT INTO other VALUES (1);");
  {
    std::ofstream out(dir.File("big.csv"));
    out << "a,b,c,y\n";
    for (int i = 0; i < 1500000; ++i)
      out << i << "," << i % 7 << ".5," << i % 13 << "," << i << "\n";
  }
  // The first signal comes while the file is read, the second (likely) while
  // the rows are written.
  const std::pair<std::string, milliseconds> runs[] = {{dir.File("new.db"), milliseconds(400)},
                                                       {dir.path(), milliseconds(1200)}};
  for (const auto& [db, delay] : runs) {
    const std::string err = dir.File("err");
    kelda::test::ChildOptions options;
    options.err = kelda::test::Stream::File(err);
    kelda::test::Child tool({KELDA_BINARY, "import", dir.File("big.csv"), db, "T", "--target", "y"},
                            options);
    std::this_thread::sleep_for(delay);
    tool.Signal(SIGINT);
    const auto sent = Clock::now();
    const kelda::test::Ended ended = *tool.Wait();
    EXPECT_LT(Clock::now() - sent, milliseconds(2000));
    EXPECT_EQ(ended.status, 130);
    EXPECT_THAT(kelda::test::FileText(err),
                StartsWith("kelda: error 18: User interrupt occurred while the CSV file was "
                           "imported"));
  }
  EXPECT_EQ(kelda::test::NamesIn(dir.dir()),
            (std::vector<std::string>{"big.csv", "err", "test.db"}));
  EXPECT_EQ(dir.Query("SELECT name FROM sqlite_master").size(), 1u);
  EXPECT_EQ(dir.Scalar("PRAGMA integrity_check").text(), "ok");
}

}  // namespace
