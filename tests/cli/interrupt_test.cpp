// The built tool stopped by SIGINT or SIGTERM in the middle of its work: it
// ends promptly with 128 + the signal's number, says how far it got, and
// leaves the database sound.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/temp_db.h"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The tool running in the background: stdout through a pipe, stderr into a
// file. A child still running at the end is killed.
kelda::test::Child Background(const std::vector<std::string>& args, const std::string& err_file) {
  std::vector<std::string> argv = {KELDA_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  kelda::test::ChildOptions options;
  options.out = kelda::test::Stream::Pipe();
  options.err = kelda::test::Stream::File(err_file);
  return kelda::test::Child(argv, options);
}

struct Interruption {
  const char* name;
  bool predict;  // else train
  int signo;
  int status;
  const char* message;  // a regular expression for stderr
};

void PrintTo(const Interruption& i, std::ostream* os) { *os << i.name; }

class InterruptTest : public ::testing::TestWithParam<Interruption> {};

TEST_P(InterruptTest, StopsPromptlyAndLeavesTheFileSound) {
  const Interruption& c = GetParam();
  kelda::test::TempDb db(
      "CREATE TABLE t(a REAL, b REAL, y REAL);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300)"
      "  INSERT INTO t SELECT i % 17, i % 23, (i * 7) % 31 FROM n;");
  std::vector<std::string> args;
  if (c.predict) {
    // A network for the table, then rows enough that writing every
    // prediction takes several seconds.
    const std::string network = db.File("net.json");
    const kelda::test::ProcessResult trained = kelda::test::RunProcess(
        KELDA_BINARY,
        {"train", db.path(), "t", "--epochs", "1", "--quiet", "--save-network", network});
    ASSERT_EQ(trained.status, 0) << trained.err;
    db.Exec(
        "CREATE TABLE many(a REAL, b REAL);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000)"
        "  INSERT INTO many SELECT i % 17, i % 23 FROM n;");
    args = {"predict", db.path(), "many", "--network", network};
  } else {
    args = {"train", db.path(), "t", "--epochs", "1000000"};
  }
  const std::string err_file = db.File("err");
  kelda::test::Child tool = Background(args, err_file);
  if (c.predict) {
    // It prints nothing before the end.
    std::this_thread::sleep_for(milliseconds(500));
  } else {
    // The first progress line comes once a report epoch is over.
    std::string line;
    ASSERT_TRUE(tool.ReadLine(&line, milliseconds(30000)));
  }

  tool.Signal(c.signo);
  const auto sent = Clock::now();
  const std::optional<kelda::test::Ended> ended = tool.Wait(milliseconds(10000));
  ASSERT_TRUE(ended.has_value()) << "still running 10 s after the signal";
  EXPECT_LT(Clock::now() - sent, milliseconds(2000));
  EXPECT_EQ(ended->status, c.status);
  EXPECT_THAT(kelda::test::FileText(err_file), MatchesRegex(c.message));

  const kelda::test::RawDb raw(db.path());
  EXPECT_EQ(raw.Scalar("PRAGMA integrity_check").text(), "ok");
  // A later run on the file works as before.
  const kelda::test::ProcessResult again =
      kelda::test::RunProcess(KELDA_BINARY, {"train", db.path(), "t", "--epochs", "2", "--quiet"});
  EXPECT_EQ(again.status, 0) << again.err;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, InterruptTest,
    ::testing::Values(
        Interruption{"TrainSigint", false, SIGINT, 130,
                     "kelda: error 18: User interrupt occurred at epoch [1-9][0-9]* of 1000000\n"},
        Interruption{"TrainSigterm", false, SIGTERM, 143,
                     "kelda: error 18: User interrupt occurred at epoch [1-9][0-9]* of 1000000\n"},
        // Writing predictions never yields: the database's own check stops it.
        Interruption{"PredictSigterm", true, SIGTERM, 143,
                     "kelda: error 18: User interrupt occurred.* while predictions were "
                     "written: rows written so far hold them\n"}),
    [](const ::testing::TestParamInfo<Interruption>& info) {
      return std::string(info.param.name);
    });

}  // namespace
