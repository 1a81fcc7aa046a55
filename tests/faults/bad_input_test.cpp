// Tables a run cannot use: each stops with its numbered error, through the
// library and through the tool alike, and leaves the table as the run had
// got it by then: `Actual` added or not, the rows reported before the error
// holding a prediction and every other row its old value.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <string>

#include "base/error.h"
#include "component/thread_block.h"
#include "faults/fault_support.h"
#include "support/temp_db.h"
#include "training/run_setup.h"

namespace kelda::faults {
namespace {

// `rows` rows numbered i = 1 .. rows by a recursive query, inserted into t
// with the value expressions `values` (in terms of i).
std::string Rows(int rows, const std::string& values) {
  return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
         std::to_string(rows) + ") INSERT INTO t SELECT " + values + " FROM n;";
}

// A table of `inputs` input columns c0, c1, ... and a target y, 30 rows.
std::string Wide(int inputs) {
  std::string columns;
  std::string values;
  for (int k = 0; k < inputs; ++k) {
    columns += "c" + std::to_string(k) + " REAL, ";
    values += "(i * " + std::to_string(k + 2) + ") % 31, ";
  }
  return "CREATE TABLE t(" + columns + "y REAL);" + Rows(30, values + "i % 5");
}

struct BadTable {
  const char* name;
  std::string setup;  // makes the table t in test.db
  int number;         // the error the run stops with
  bool actual_added;  // the run had appended `Actual` when it stopped
  int reported_rows;  // leading rows that a report had written when it stopped
  int32_t epochs = 3;
  const char* table = "t";
  const char* file = "test.db";
};

void PrintTo(const BadTable& c, std::ostream* os) { *os << c.name; }

const std::string kGood = "CREATE TABLE t(a REAL, b REAL, y REAL);" + Rows(20, "i, i % 3, i % 4");

const BadTable kBadTables[] = {
    {"MissingFile", kGood, kErrDbFileNotFound, false, 0, 3, "t", "none.db"},
    {"MissingTable", kGood, kErrTableNotFound, false, 0, 3, "nope"},
    {"NullInputInRow3",
     "CREATE TABLE t(a REAL, b REAL, y REAL);" +
         Rows(10, "i, CASE i WHEN 3 THEN NULL ELSE i % 4 END, i % 3"),
     kErrInvalidUseOfNull, true, 2},
    // A text or a blob sorts above every number: it is the column's maximum,
    // and the range query fails before any example.
    {"TextInputInRow3",
     "CREATE TABLE t(a REAL, b REAL, y REAL);" +
         Rows(10, "i, CASE i WHEN 3 THEN 'seven' ELSE i % 4 END, i % 3"),
     kErrTypeMismatch, true, 0},
    {"BlobInputInRow3",
     "CREATE TABLE t(a, b REAL, y REAL);" +
         Rows(10, "CASE i WHEN 3 THEN x'0102' ELSE i END, i % 4, i % 3"),
     kErrTypeMismatch, true, 0},
    {"InputWithoutValues", "CREATE TABLE t(a REAL, b REAL, y REAL);" + Rows(10, "i, NULL, i % 3"),
     kErrInvalidUseOfNull, true, 0},
    {"EmptyTable", "CREATE TABLE t(a REAL, b REAL, y REAL);", kErrInvalidUseOfNull, true, 0},
    {"InfiniteInput",
     "CREATE TABLE t(a REAL, y REAL);" + Rows(10, "CASE i WHEN 4 THEN 1e999 ELSE i END, i % 3"),
     kErrOverflow, true, 0},
    {"ConstantInput", "CREATE TABLE t(a REAL, b REAL, y REAL);" + Rows(10, "i, 2.5, i % 3"),
     kErrOverflow, true, 0},
    {"ConstantTarget", "CREATE TABLE t(a REAL, b REAL, y REAL);" + Rows(10, "i, i % 4, 7"),
     kErrOverflow, true, 0},
    {"TwentyInputs", Wide(20), kErrSubscript, true, 0},
    {"TwentyTwoInputs", Wide(22), kErrSubscript, true, 0},
    {"MoreExamplesThan5000", "CREATE TABLE t(a REAL, y REAL);" + Rows(5001, "i % 97, i % 13"),
     kErrSubscript, true, 5000, 2},
    {"RowsBeyond32766", "CREATE TABLE t(a REAL, y REAL);" + Rows(32767, "i % 97, i % 13"),
     kErrOverflow, true, 0, 2},
    {"MoreInputsThanRows",
     "CREATE TABLE t(a REAL, b REAL, c REAL, d REAL, e REAL, y REAL);"
     "INSERT INTO t VALUES (1, 2, 3, 4, 5, 6), (2, 3, 4, 5, 6, 7), (3, 1, 1, 1, 1, 1);",
     kErrSubscript, true, 0},
    {"OnlyATarget", "CREATE TABLE t(y REAL);" + Rows(5, "i"), kErrSyntax, true, 0},
    {"LowerCaseActual", "CREATE TABLE t(a REAL, y REAL, actual REAL);" + Rows(5, "i, i % 2, NULL"),
     kErrFieldExists, false, 0},
    // No name reaches the rowid: the first write has no key to find its row by.
    {"EveryRowidNameTaken",
     "CREATE TABLE t(rowid REAL, oid REAL, _rowid_ REAL, y REAL);" +
         Rows(10, "i, i % 4, i % 3 + 0.5, i % 5"),
     kErrInvalidOperation, true, 0},
    {"EveryRowidNameTakenAndActual",
     "CREATE TABLE t(rowid REAL, oid REAL, _rowid_ REAL, y REAL, Actual REAL);" +
         Rows(10, "i, i % 4, i % 3 + 0.5, i % 5, NULL"),
     kErrInvalidOperation, true, 0},
};

class BadInput : public ::testing::TestWithParam<BadTable> {
 protected:
  // Checks what the table holds after the failed run.
  void ExpectStateAfter(const test::TempDb& db) {
    const BadTable& c = GetParam();
    if (std::string(c.file) != "test.db") {
      EXPECT_NE(::access(db.File(c.file).c_str(), F_OK), 0) << "the run created the file";
    }
    EXPECT_EQ(IntegrityCheck(db.path()), "ok");
    const bool has_actual =
        db.Scalar("SELECT COUNT(*) FROM pragma_table_info('t') WHERE name = 'Actual'").number() > 0;
    EXPECT_EQ(has_actual, c.actual_added);
    if (!has_actual) return;
    int row = 0;
    for (const test::Row& r : db.Query("SELECT Actual FROM t ORDER BY rowid")) {
      ++row;
      if (row <= c.reported_rows) {
        ASSERT_TRUE(r[0].IsNumber() && std::isfinite(r[0].number()))
            << "row " << row << ": " << r[0].Describe();
      } else {
        ASSERT_TRUE(r[0].IsNull()) << "row " << row << ": " << r[0].Describe();
      }
    }
  }
};

TEST_P(BadInput, LibraryStopsWithTheNumberedError) {
  const BadTable& c = GetParam();
  test::TempDb db(c.setup);
  Network network;
  const Outcome o = TrainWithLibrary(network, db.File(c.file), c.table, c.epochs);
  EXPECT_EQ(o.number, c.number) << o.text;
  EXPECT_FALSE(o.text.empty());
  ExpectStateAfter(db);
}

// The tool as a shell runs it: exit status 1, the numbered error as the one
// line on stderr.
TEST_P(BadInput, ToolStopsWithTheNumberedError) {
  const BadTable& c = GetParam();
  test::TempDb db(c.setup);
  const ProcessResult r = RunToolProcess({"train", db.File(c.file), c.table, "--epochs",
                                          std::to_string(c.epochs), "--seed", "7", "--relevance"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err.rfind("kelda: error " + std::to_string(c.number) + ": ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_EQ(OutcomeOf(r).number, c.number);
  ExpectStateAfter(db);
}

INSTANTIATE_TEST_SUITE_P(Tables, BadInput, ::testing::ValuesIn(kBadTables),
                         [](const ::testing::TestParamInfo<BadTable>& info) {
                           return std::string(info.param.name);
                         });

// Input columns are values of layer 1, which has 20 units and one more than
// there are inputs: 20 inputs load, and the forward pass refuses the 21
// units; from 21 on, loading the 21st input fails. Both in the first
// example of the first epoch, before a report has written anything.
class TooManyInputs : public ::testing::TestWithParam<int> {};

TEST_P(TooManyInputs, StopWithError9WhereTheLayerOverflows) {
  const int inputs = GetParam();
  // Column k holds k + 1 in the first row, then 0 and 100, so that the first
  // row of column k scales to (k + 1) / 100; rows of 50 follow, enough for
  // the range of every input.
  std::string columns;
  std::string row1;
  std::string row2;
  std::string row3;
  std::string filler;
  for (int k = 0; k < inputs; ++k) {
    columns += "c" + std::to_string(k) + " REAL, ";
    row1 += "0, ";
    row2 += std::to_string(k + 1) + ", ";
    row3 += "100, ";
    filler += "50, ";
  }
  test::TempDb db("CREATE TABLE t(" + columns + "y REAL); INSERT INTO t VALUES (" + row2 + "1), (" +
                  row1 + "2), (" + row3 + "3);" + Rows(inputs, filler + "i % 4"));
  ThreadBlock& block = ThisThread();
  Network network;
  const Outcome o = TrainWithLibrary(network, db.path(), "t", 5);
  EXPECT_EQ(o.number, kErrSubscript) << o.text;
  EXPECT_EQ(block.progress.epoch, 1);
  EXPECT_EQ(block.network.CurrentPattern, 1);
  // The input being loaded when the run stopped.
  const int loaded = inputs == 20 ? 20 : 21;
  EXPECT_DOUBLE_EQ(network.Fields().FieldValue, loaded / 100.0);
  EXPECT_DOUBLE_EQ(block.network.Activation(20, 1), 0.2);
  for (const test::Row& r : db.Query("SELECT Actual FROM t")) EXPECT_TRUE(r[0].IsNull());
}

INSTANTIATE_TEST_SUITE_P(Inputs, TooManyInputs, ::testing::Values(20, 21, 22),
                         [](const auto& info) {
                           return "With" + std::to_string(info.param) + "Inputs";
                         });

// The process's address space now, from /proc; 0 when unknown.
std::size_t AddressSpace() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7)) * 1024;
  }
  return 0;
}

// Runs `fn` in a child process whose address space may grow by `headroom`
// bytes only. Returns the number of the kelda::Error it raised (0: none), -2
// for an exception of another kind, -3 when the child died.
template <class F>
int WithLittleMemory(std::size_t headroom, F fn) {
  int fds[2];
  if (::pipe(fds) != 0) return -4;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    int result = 0;
    const rlimit limit{AddressSpace() + headroom, AddressSpace() + headroom};
    ::setrlimit(RLIMIT_AS, &limit);
    try {
      result = Attempt(fn).number;
    } catch (...) {
      result = -2;
    }
    const ssize_t ignored = ::write(fds[1], &result, sizeof result);
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  int result = -3;
  if (::read(fds[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) result = -3;
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return result;
}

// The scaling ranges are sized by the row count, which is counted before
// anything checks it against the limit of 32766 rows: a table of some
// hundred million rows asks for more memory than there is. That is the
// runtime's out-of-memory error, not an exception of another kind.
TEST(HugeTable, RangesBeyondMemoryAreError7) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer cannot run with a limited address space";
#else
  const int number = WithLittleMemory(64u << 20, [] {
    engine::NetworkState net;
    training::ObjectFields fields;
    fields.RecordCount = std::numeric_limits<int32_t>::max();
    training::PrepareRun(net, fields);
  });
  EXPECT_EQ(number, kErrOutOfMemory);
#endif
}

TEST(Relevance, BeforeAnyTrainingIsError9AndTouchesNothing) {
  test::TempDb db(kGood + "ALTER TABLE t ADD COLUMN Actual REAL; UPDATE t SET Actual = -1;");
  Network network;
  network.SetMSAccessDBName(db.path());
  network.SetMSAccessTableName("t");
  const Outcome o = Attempt([&] { network.InputRelevance(); });
  EXPECT_EQ(o.number, kErrSubscript) << o.text;
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM t WHERE Actual = -1").number(), 20.0);
}

// After a good run the table changes under the object; the analysis stops
// with the error of what it meets, leaving old and perturbed predictions.
TEST(Relevance, ATableDamagedAfterTrainingStopsItWithTheNumberedError) {
  struct Damage {
    const char* sql;
    int number;
  };
  for (const Damage& d : {Damage{"UPDATE t SET b = NULL WHERE rowid = 5", kErrInvalidUseOfNull},
                          Damage{"UPDATE t SET a = 'x' WHERE rowid = 9", kErrTypeMismatch},
                          Damage{"DELETE FROM t WHERE rowid > 15", kErrNoCurrentRecord},
                          Damage{"DROP TABLE t", kErrTableNotFound}}) {
    SCOPED_TRACE(d.sql);
    test::TempDb db(kGood);
    Network network;
    ASSERT_EQ(TrainWithLibrary(network, db.path(), "t", 12).number, 0);
    db.Exec(d.sql);
    const Outcome o = Attempt([&] { network.InputRelevance(); });
    EXPECT_EQ(o.number, d.number) << o.text;
    EXPECT_EQ(IntegrityCheck(db.path()), "ok");
  }
}

}  // namespace
}  // namespace kelda::faults
