// A disk that fills up during a run: a small file system of the test's own,
// filled but for a little headroom. The run stops with 3026 and the file
// stays sound; once there is room again, a run completes on it. Predictions
// committed in groups need far less room than those committed row by row (as
// for a host whose hook may write to the file), so that a later moment of
// running out is met only by the latter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/error.h"
#include "faults/fault_support.h"
#include "support/temp_db.h"

namespace kelda::faults {
namespace {

constexpr const char* kTable =
    "CREATE TABLE t(a REAL, b REAL, y REAL, Actual REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60)"
    "  INSERT INTO t SELECT i % 7, i % 5 + 0.5, (i * 13) % 11, -1 FROM n;"
    "CREATE TABLE other(z); INSERT INTO other VALUES ('kept');";

struct Headroom {
  const char* name;
  std::size_t bytes;  // left free when the run starts
  bool has_actual;
  bool row_by_row;  // the library's run has a hook that may write to the file
  int tool_number;  // the tool's outcome: it commits in groups
};

void PrintTo(const Headroom& h, std::ostream* os) { *os << h.name; }

class DiskFull : public ::testing::TestWithParam<Headroom> {};

TEST_P(DiskFull, StopsWith3026AndTheFileStaysSound) {
  std::string why;
  const std::unique_ptr<ScratchMount> mount = ScratchMount::Make(1 << 20, &why);
  if (!mount) GTEST_SKIP() << "cannot make a small file system to fill: " << why;
  test::TempDb source(kTable);
  if (!GetParam().has_actual) source.Exec("ALTER TABLE t DROP COLUMN Actual");
  const std::string path = mount->File("t.db");
  CopyDatabase(source.path(), path);
  const auto before = ActualByRow(path, "t");

  ASSERT_TRUE(mount->Reserve("headroom", GetParam().bytes));
  mount->Fill("filler");
  ASSERT_EQ(::unlink(mount->File("headroom").c_str()), 0);
  Outcome o;
  {
    Network network;
    o = GetParam().row_by_row ? TrainWithLibrary(network, path, "t", 25, 7, [] {})
                              : TrainWithLibrary(network, path, "t", 25);
  }
  EXPECT_EQ(o.number, kErrDiskFull) << o.text;
  // The tool on the full disk.
  const ProcessResult tool = RunToolProcess({"train", path, "t", "--epochs", "25", "--quiet"});
  EXPECT_EQ(OutcomeOf(tool).number, GetParam().tool_number) << tool.err;
  EXPECT_EQ(IntegrityCheck(path), "ok");
  std::string problems;
  EXPECT_TRUE(OldOrFinite(before, ActualByRow(path, "t"), &problems)) << problems;

  ASSERT_EQ(::unlink(mount->File("filler").c_str()), 0);
  Network again;
  EXPECT_EQ(TrainWithLibrary(again, path, "t", 25).number, 0);
  EXPECT_EQ(IntegrityCheck(path), "ok");
  EXPECT_EQ(test::RawDb(path).Scalar("SELECT z FROM other"), Value("kept"));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, DiskFull,
    ::testing::Values(Headroom{"FullBeforeTheRun", 0, true, false, kErrDiskFull},
                      Headroom{"FullBeforeActualIsAdded", 0, false, false, kErrDiskFull},
                      // Room for the log's index but not for the log.
                      Headroom{"FullInTheFirstReports", 32 << 10, true, false, kErrDiskFull},
                      Headroom{"FullLater", 200 << 10, true, true, 0}),
    [](const ::testing::TestParamInfo<Headroom>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelda::faults
