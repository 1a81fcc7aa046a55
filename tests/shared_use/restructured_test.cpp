// Another program vacuums the file or changes its schema during a run. A
// VACUUM renumbers the rowids of a table without an INTEGER PRIMARY KEY (t's
// rowids 1002, 1004, ... become 1, 2, ...), and a new column moves the
// last one: the run's keys and column positions no longer hold. The run
// stops with 3197 before it reads or writes anything more, and every row
// holds what a run alone had written by that moment.
//
// The run is the library's, which waits in its yield while the other
// connection makes the change.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>

#include "base/error.h"
#include "component/network.h"
#include "component/thread_settings.h"
#include "shared_use/shared_use.h"
#include "support/temp_db.h"

namespace kelda::shared_use {
namespace {

// The values of a column in rowid order, keyed 1, 2, ...: a vacuumed table
// compared with one that was not.
Column ByPosition(const Column& column) {
  Column out;
  int64_t i = 0;
  for (const auto& [rowid, value] : column) out[++i] = value;
  return out;
}

// What a run alone has written into t when it reaches each moment, and at
// its end; t as TablesSql() makes it.
struct SoloStates {
  std::map<Moment, Column> at;
  Column end;
};

const SoloStates& Solo() {
  static const SoloStates states = [] {
    SoloStates s;
    const test::TempDb db(TablesSql());
    const Outcome o = Train(Runner::kLibrary, db.path(), "t", kSeed,
                            [&](Moment m) { s.at[m] = faults::ActualByRow(db.path(), "t"); });
    EXPECT_EQ(o.number, 0) << "the solo run failed: " << o.text;
    s.end = faults::ActualByRow(db.path(), "t");
    return s;
  }();
  return states;
}

struct Change {
  const char* name;
  const char* sql;
  Moment moment;
};

void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

class Restructured : public ::testing::TestWithParam<Change> {
 protected:
  void SetUp() override {
    Solo();
    ASSERT_FALSE(HasFailure());
  }
  const faults::TempFilesInMemory in_memory_;
};

TEST_P(Restructured, StopsTheRunWith3197AndEveryRowHoldsWhatTheRunHadWritten) {
  const Change& change = GetParam();
  const test::TempDb db(TablesSql());
  bool changed = false;
  const Outcome run = Train(Runner::kLibrary, db.path(), "t", kSeed, [&](Moment m) {
    if (m != change.moment) return;
    test::RawDb(db.path()).Exec(change.sql);
    changed = true;
  });
  ASSERT_TRUE(changed) << "the run never came to the moment: " << run.number << " " << run.text;
  EXPECT_EQ(run.number, kErrRestructured) << run.text;
  EXPECT_NE(run.text.find("Another program restructured or vacuumed table 't'"), std::string::npos)
      << run.text;
  EXPECT_EQ(faults::IntegrityCheck(db.path()), "ok");
  EXPECT_EQ(Differences(ByPosition(Solo().at.at(change.moment)),
                        ByPosition(faults::ActualByRow(db.path(), "t"))),
            "");
}

INSTANTIATE_TEST_SUITE_P(
    Changes, Restructured,
    ::testing::Values(Change{"VacuumBeforeTheFirstEpoch", "VACUUM", Moment::kEarly},
                      Change{"VacuumBeforeAReportEpoch", "VACUUM", Moment::kMid},
                      Change{"VacuumBeforeTheWriteBack", "VACUUM", Moment::kWriteBack},
                      Change{"ColumnAddedBeforeAReportEpoch", "ALTER TABLE t ADD COLUMN z REAL",
                             Moment::kMid},
                      Change{"ColumnAddedBeforeTheWriteBack", "ALTER TABLE t ADD COLUMN z REAL",
                             Moment::kWriteBack}),
    [](const ::testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

// The relevance analysis after training works on the run's rows, by their
// keys: after a VACUUM it stops before it writes anything.
TEST(RestructuredBeforeRelevance, StopsItWith3197AndTheTrainedPredictionsStay) {
  const faults::TempFilesInMemory in_memory;
  const test::TempDb db(TablesSql());
  Outcome trained;
  Outcome scored;
  std::thread([&] {
    ScopedThreadSettings settings(kSeed, nullptr);
    Network network;
    network.SetMSAccessDBName(db.path());
    network.SetMSAccessTableName("t");
    network.SetEpochs(kEpochs);
    trained = faults::Attempt([&] { network.RunNetwork(); });
    test::RawDb(db.path()).Exec("VACUUM");
    scored = faults::Attempt([&] { network.InputRelevance(); });
  }).join();
  ASSERT_EQ(trained.number, 0) << trained.text;
  EXPECT_EQ(scored.number, kErrRestructured) << scored.text;
  EXPECT_EQ(Differences(ByPosition(Solo().end), ByPosition(faults::ActualByRow(db.path(), "t"))),
            "");
}

// A row deleted and another inserted under its rowid is, by its key, the
// same row of the run: it is read and predicted as it now stands. Here the
// new row, among the rows to predict, takes another row's inputs and gets
// that row's prediction, in place of the -7 it was inserted with.
TEST(ReplacedRow, GetsThePredictionForItsOwnInputs) {
  const faults::TempFilesInMemory in_memory;
  const test::TempDb db(TablesSql());
  const int64_t replaced = RowidOfT(Rows() - 10);
  const int64_t model = RowidOfT(Rows() - 20);
  const std::string replace =
      "DELETE FROM t WHERE rowid = " + std::to_string(replaced) +
      "; INSERT INTO t(rowid, a, b, c, y, Actual) SELECT " + std::to_string(replaced) +
      ", a, b, c, NULL, -7 FROM t WHERE rowid = " + std::to_string(model) + ";";
  const Outcome run = Train(Runner::kLibrary, db.path(), "t", kSeed, [&](Moment m) {
    if (m == Moment::kMid) test::RawDb(db.path()).Exec(replace);
  });
  ASSERT_EQ(run.number, 0) << run.text;
  Column expected = Solo().end;
  expected[replaced] = expected.at(model);
  EXPECT_EQ(Differences(expected, faults::ActualByRow(db.path(), "t")), "");
}

}  // namespace
}  // namespace kelda::shared_use
