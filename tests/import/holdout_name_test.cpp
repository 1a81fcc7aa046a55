// The side table's name, for a file's table and as a server reads a name.
#include <gtest/gtest.h>
#include <kelda/import.h>

namespace {

using kelda::HoldoutTableName;

struct SideName {
  const char* database;
  const char* table;
  const char* side;
};

class HoldoutNameTest : public ::testing::TestWithParam<SideName> {};

TEST_P(HoldoutNameTest, IsTheTablesOwnNameWithTheSuffix) {
  EXPECT_EQ(HoldoutTableName(GetParam().database, GetParam().table), GetParam().side);
}

INSTANTIATE_TEST_SUITE_P(
    Names, HoldoutNameTest,
    ::testing::Values(SideName{"t.db", "T", "T_holdout"},
                      // A file's table may be named with quotes: they are part of it.
                      SideName{"t.db", "\"T\"", "\"T\"_holdout"},
                      SideName{"postgresql:///k", "s.T", "s.T_holdout"},
                      SideName{"postgres:///k", "s.\"My T\"", "s.\"My T_holdout\""}));

}  // namespace
