// Rows another program inserts into the table during a run: before its
// first row, among the examples, among the rows to predict and after its
// last. The run's rows are those the table had when the run opened it: the
// new rows are neither trained on nor predicted, and every old row gets the
// prediction a run on the table alone writes.
//
// The run is the library's, which waits in its yield while the rows go in.
// The tool could not be made to wait so: stopped at a progress line, it may
// hold the lock the insert needs, and a running tool writing one row after
// another keeps SQLite's waiting writer out until it is done.
#include <gtest/gtest.h>

#include <string>

#include "shared_use/shared_use.h"
#include "support/temp_db.h"

namespace kelda::shared_use {
namespace {

class AddedRows : public ::testing::TestWithParam<Moment> {
 protected:
  void SetUp() override { ASSERT_EQ(MissingPrograms(), ""); }
  const faults::TempFilesInMemory in_memory_;
};

TEST_P(AddedRows, AreLeftAloneAndEveryOldRowGetsItsPrediction) {
  const Moment moment = GetParam();
  const test::TempDb db(TablesSql());
  const Reference solo = SoloRuns(Runner::kLibrary, false, false, db.dir());
  ASSERT_FALSE(HasFailure()) << "the solo run failed";

  // A row among the examples without a target would end every epoch there;
  // the others have targets that would change what the network learns.
  const int64_t before_first = 1;
  const int64_t among_examples = RowidOfT(Examples() / 2) + 1;
  const int64_t among_predicted = RowidOfT((Examples() + Rows()) / 2) + 1;
  const int64_t after_last = RowidOfT(Rows()) + 7;
  const std::string insert = "INSERT INTO t(rowid, a, b, c, y, Actual) VALUES (" +
                             std::to_string(before_first) + ", 3, 4.5, 7, 5, NULL), (" +
                             std::to_string(among_examples) + ", 5, 6.5, 9, NULL, NULL), (" +
                             std::to_string(among_predicted) + ", 2, 3.5, 4, 3, NULL), (" +
                             std::to_string(after_last) + ", 8, 9.5, 10, 4, NULL);";

  int inserted = -1;
  const Outcome run = Train(Runner::kLibrary, db.path(), "t", kSeed, [&](Moment m) {
    if (m != moment) return;
    Child inserter(
        {KELDA_SQLITE3_SHELL, "-bail", "-batch", "-cmd", ".timeout 10000", db.path(), insert},
        db.File("insert.err"));
    inserted = inserter.Wait();
    EXPECT_EQ(inserted, 0) << inserter.Transcript();
  });
  ASSERT_EQ(inserted, 0) << "the run never came to the moment: " << run.number << " " << run.text;
  EXPECT_EQ(run.number, 0) << run.text;
  EXPECT_EQ(faults::IntegrityCheck(db.path()), "ok");

  Column after = faults::ActualByRow(db.path(), "t");
  for (const int64_t rowid : {before_first, among_examples, among_predicted, after_last}) {
    ASSERT_EQ(after.count(rowid), 1u) << rowid;
    EXPECT_TRUE(after[rowid].IsNull()) << "row " << rowid << " holds " << after[rowid].Describe();
    after.erase(rowid);
  }
  EXPECT_EQ(Differences(solo.t, after), "");
}

INSTANTIATE_TEST_SUITE_P(Moments, AddedRows,
                         ::testing::Values(Moment::kEarly, Moment::kMid, Moment::kWriteBack),
                         [](const ::testing::TestParamInfo<Moment>& info) {
                           return std::string(Name(info.param));
                         });

}  // namespace
}  // namespace kelda::shared_use
