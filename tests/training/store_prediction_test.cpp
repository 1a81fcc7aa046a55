#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "data/database.h"
#include "engine/network_state.h"
#include "support/temp_db.h"
#include "training/object_fields.h"
#include "training/prediction.h"

namespace kelda::training {
namespace {

struct Store {
  const char* name;
  double output;  // the output unit's activation
  double stored;  // what the row's Actual then holds
};

void PrintTo(const Store& s, std::ostream* os) {
  *os << "output " << s.output << " stored as " << s.stored;
}

class StorePredictionTest : public ::testing::TestWithParam<Store> {};

// The row held 7 before; whatever the prediction, the row ends with a whole
// new value, read back through the same cursor and by another connection.
TEST_P(StorePredictionTest, ReplacesTheRowsOldValue) {
  test::TempDb db("CREATE TABLE t(a REAL, y REAL, Actual REAL); INSERT INTO t VALUES (1, 2, 7);");
  training::ObjectFields fields;
  fields.TargetMin.Redim(1);
  fields.TargetMax.Redim(1);
  fields.TargetMin(1) = Value(0.0);
  fields.TargetMax(1) = Value(2.0);
  engine::NetworkState net;
  net.Activation(1, 3) = GetParam().output;

  data::DBEngine engine;
  data::Database database = engine.OpenDatabase(db.path());
  data::Recordset cursor = database.OpenRecordset("t");
  // By the cursor's current row, and by key with the writes grouped.
  for (const bool keyed : {false, true}) {
    db.Exec("UPDATE t SET Actual = 7");
    PredictionWriter writer(database, cursor,
                            keyed ? std::make_shared<const data::RowIds>(data::RowIds{1}) : nullptr,
                            keyed ? std::optional(std::chrono::milliseconds(1000)) : std::nullopt);
    writer.Store(net, fields, 0);
    EXPECT_EQ(writer.LastStored(), Value(GetParam().stored)) << keyed;
    writer.Commit();
    EXPECT_EQ(cursor.Fields("Actual").GetValue(), Value(GetParam().stored)) << keyed;
    EXPECT_EQ(db.Scalar("SELECT Actual FROM t"), Value(GetParam().stored)) << keyed;
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, StorePredictionTest,
                         ::testing::Values(Store{"Zero", 0.0, 0.0},
                                           Store{"NoDigitInFourPlaces", 0.00001, 0.0},
                                           Store{"RoundedToFourPlaces", 0.0061728, 0.0123},
                                           Store{"Unrounded", 0.25, 0.5}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelda::training
