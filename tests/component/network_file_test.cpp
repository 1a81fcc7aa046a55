#include "component/network_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "component/network.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "data/database.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda {
namespace {

using test::RaisedBy;
using test::TempDb;
using ::testing::HasSubstr;

// Everything a network holds as one list: names as they are, numbers as
// their bits (so that -0.0 and 0.0 differ), an absent range as "null".
std::vector<std::string> Contents(const SavedNetwork& n) {
  std::vector<std::string> out;
  auto add = [&out](double d) { out.push_back(std::to_string(std::bit_cast<uint64_t>(d))); };
  auto add_all = [&add](const std::vector<double>& v) {
    for (double d : v) add(d);
  };
  auto add_layer = [&](const LayerParameters& p) {
    out.push_back("layer");
    add_all(p.bias);
    add_all(p.temperature);
    for (const std::vector<double>& row : p.weight) add_all(row);
  };
  for (int units : n.layer_units) out.push_back(std::to_string(units));
  add_all(n.input_layer);
  add_layer(n.hidden);
  add_layer(n.output);
  for (const InputColumn& c : n.inputs) {
    out.push_back(c.name);
    add(c.min);
    add(c.max);
  }
  out.push_back(n.target.name);
  for (const std::optional<double>& v : {n.target.min, n.target.max}) {
    if (v)
      add(*v);
    else
      out.push_back("null");
  }
  return out;
}

void ExpectIdentical(const SavedNetwork& a, const SavedNetwork& b) {
  EXPECT_EQ(Contents(a), Contents(b));
}

// Doubles whose shortest text is long or unusual; a writer that rounds to
// fewer digits, drops a sign or flushes subnormals changes one of them.
const std::vector<double> kAwkward = {
    0.1,
    1.0 / 3.0,
    -0.0,
    5e-324,
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    std::nextafter(1.0, 2.0),
    123456789012345678.0,
    -2.5e-300,
    0.30000000000000004,
    9007199254740993.0,
};

double Awkward(std::size_t i) { return kAwkward[i % kAwkward.size()]; }

// A network of the given sizes filled with awkward numbers.
SavedNetwork MakeNetwork(int n1, int n2, int n3) {
  SavedNetwork net;
  net.layer_units = {n1, n2, n3};
  std::size_t next = 0;
  for (int k = 0; k < n1; ++k) net.input_layer.push_back(Awkward(next++));
  auto layer = [&next](int units, int below) {
    LayerParameters p;
    for (int j = 0; j < units; ++j) {
      p.bias.push_back(Awkward(next++));
      p.temperature.push_back(Awkward(next++));
    }
    for (int i = 0; i < below; ++i) {
      std::vector<double>& row = p.weight.emplace_back();
      for (int j = 0; j < units; ++j) row.push_back(Awkward(next++));
    }
    return p;
  };
  net.hidden = layer(n2, n1);
  net.output = layer(n3, n2);
  for (int k = 0; k < n1 - 1; ++k) {
    net.inputs.push_back(InputColumn{"in" + std::to_string(k), Awkward(next++), Awkward(next++)});
  }
  net.target = TargetColumn{"Out", -3.2, 40.0};
  return net;
}

TEST(NetworkFileRoundTrip, TextAndFileGiveBackTheSameBits) {
  TempDb dir;
  for (const auto& sizes : {std::array<int, 3>{1, 1, 1}, std::array<int, 3>{4, 20, 1},
                            std::array<int, 3>{20, 20, 20}, std::array<int, 3>{3, 5, 2}}) {
    SCOPED_TRACE(::testing::PrintToString(sizes));
    SavedNetwork net = MakeNetwork(sizes[0], sizes[1], sizes[2]);
    ExpectIdentical(NetworkFromJson(NetworkToJson(net), "text"), net);

    const std::string path = dir.File("net.json");
    SaveNetworkFile(net, path);
    ExpectIdentical(LoadNetworkFile(path), net);
  }
}

TEST(NetworkFileRoundTrip, NamesAndAbsentTargetRange) {
  SavedNetwork net = MakeNetwork(4, 2, 1);
  net.inputs[0].name = "Price \"net\"";
  net.inputs[1].name = "back\\slash";
  net.inputs[2].name = "Größe €";
  net.target = TargetColumn{"Profit", std::nullopt, std::nullopt};
  ExpectIdentical(NetworkFromJson(NetworkToJson(net), "text"), net);
}

TEST(NetworkFileRoundTrip, WrittenInTheDocumentedShape) {
  const nlohmann::json doc = nlohmann::json::parse(NetworkToJson(MakeNetwork(3, 2, 1)));
  EXPECT_EQ(doc["format"], "kelda-network");
  EXPECT_EQ(doc["version"], 1);
  EXPECT_EQ(doc["layer_units"], nlohmann::json::parse("[3, 2, 1]"));
  EXPECT_EQ(doc["hidden"]["weight"].size(), 3u);     // one row per input unit
  EXPECT_EQ(doc["hidden"]["weight"][0].size(), 2u);  // one weight per hidden unit
  EXPECT_EQ(doc["output"]["weight"].size(), 2u);
  EXPECT_EQ(doc["inputs"][1]["name"], "in1");
  EXPECT_EQ(doc["target"]["max"], 40.0);
}

TEST(NetworkFileRoundTrip, SavingReplacesAnEarlierFile) {
  TempDb dir;
  const std::string path = dir.File("net.json");
  SaveNetworkFile(MakeNetwork(2, 3, 1), path);
  SaveNetworkFile(MakeNetwork(5, 4, 1), path);
  EXPECT_EQ(LoadNetworkFile(path).layer_units, (std::array<int, 3>{5, 4, 1}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.dir()), {}), 2)
      << "test.db and net.json only: no temporary file is left behind";
}

// One kind of damage: a change to a valid document (or its text) and what
// the complaint must mention.
struct Damage {
  const char* name;
  std::function<void(nlohmann::json&)> edit;
  const char* complaint;
  std::function<std::string(std::string)> text_edit = nullptr;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class DamagedNetworkFile : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedNetworkFile, IsRefusedWithItsProblemAndTheFileNamed) {
  const Damage& damage = GetParam();
  nlohmann::json doc = nlohmann::json::parse(NetworkToJson(MakeNetwork(3, 4, 1)));
  if (damage.edit) damage.edit(doc);
  std::string text = doc.dump();
  if (damage.text_edit) text = damage.text_edit(text);

  TempDb dir;
  const std::string path = dir.WriteFile("bad.json", text);
  const std::optional<Error> e = RaisedBy([&] { LoadNetworkFile(path); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrBadNetworkFile);
  EXPECT_THAT(e->Description(), HasSubstr(path));
  EXPECT_THAT(e->Description(), HasSubstr(damage.complaint));
}

using J = nlohmann::json;

INSTANTIATE_TEST_SUITE_P(
    Kinds, DamagedNetworkFile,
    ::testing::Values(
        Damage{"Truncated", nullptr, "not valid JSON",
               [](std::string t) { return t.substr(0, t.size() / 2); }},
        Damage{"Empty", nullptr, "not valid JSON", [](std::string) { return std::string(); }},
        Damage{"NotJson", nullptr, "not valid JSON",
               [](std::string) { return std::string("layer_units = 3"); }},
        Damage{
            "NaNLiteral", nullptr, "not valid JSON",
            [](std::string t) { return t.replace(t.find("\"input_layer\":[") + 15, 0, "NaN,"); }},
        Damage{"AnArray", [](J& d) { d = J::array({d}); }, "not an object"},
        Damage{"WrongFormat", [](J& d) { d["format"] = "other-network"; }, "format"},
        Damage{"NoFormat", [](J& d) { d.erase("format"); }, "format is missing"},
        Damage{"NewerVersion", [](J& d) { d["version"] = 2; }, "version 2 is not supported"},
        Damage{"VersionAsText", [](J& d) { d["version"] = "1"; }, "is not supported"},
        Damage{"TwoLayers",
               [](J& d) {
                 d["layer_units"] = {3, 4};
               },
               "expected 3"},
        Damage{"EmptyLayer", [](J& d) { d["layer_units"][1] = 0; }, "layer_units[1] is 0"},
        Damage{"LayerTooLarge", [](J& d) { d["layer_units"][1] = 21; }, "layer_units[1] is 21"},
        Damage{"HugeLayer", [](J& d) { d["layer_units"][0] = 18446744073709551615u; },
               "expected 1 to 20"},
        Damage{"NegativeLayer", [](J& d) { d["layer_units"][2] = -1; }, "expected 1 to 20"},
        Damage{"FractionalLayer", [](J& d) { d["layer_units"][1] = 2.5; }, "not an integer"},
        Damage{"InputLayerShort", [](J& d) { d["input_layer"].erase(0); },
               "input_layer has 2 numbers, expected 3"},
        Damage{"SizesDisagree", [](J& d) { d["layer_units"][1] = 5; },
               "hidden.bias has 4 numbers, expected 5"},
        Damage{"WeightRowShort", [](J& d) { d["hidden"]["weight"][2].erase(0); },
               "hidden.weight[2] has 3 numbers"},
        Damage{"WeightRowMissing", [](J& d) { d["output"]["weight"].erase(0); },
               "output.weight has 3 rows, expected 4"},
        Damage{"WeightsNotAnArray", [](J& d) { d["output"]["weight"] = 1.0; },
               "output.weight is not an array"},
        Damage{"NoTemperature", [](J& d) { d["output"].erase("temperature"); },
               "output.temperature is missing"},
        Damage{"NullWeight", [](J& d) { d["hidden"]["weight"][0][1] = nullptr; },
               "hidden.weight[0][1] is not a number"},
        Damage{"NaNAsText", [](J& d) { d["hidden"]["bias"][0] = "NaN"; },
               "hidden.bias[0] is not a number"},
        Damage{"HugeNumber", nullptr, "beyond the range of a double",
               [](std::string t) {
                 const auto at = t.find("\"bias\":[") + 8;
                 const auto comma = t.find(',', at);
                 return t.replace(comma + 1, t.find(',', comma + 1) - comma - 1, "1e400");
               }},
        Damage{"NegativeHuge", nullptr, "beyond the range of a double",
               [](std::string t) {
                 const auto at = t.find("\"min\":") + 6;
                 return t.replace(at, t.find(',', at) - at, "-1e999");
               }},
        Damage{"TooManyInputs", [](J& d) { d["inputs"].push_back(d["inputs"][0]); },
               "3 input columns for an input layer of 3 units"},
        Damage{"EmptyName", [](J& d) { d["inputs"][1]["name"] = ""; }, "inputs[1].name is empty"},
        Damage{"NameNotText", [](J& d) { d["inputs"][0]["name"] = 7; },
               "inputs[0].name is not a string"},
        Damage{"NoMax", [](J& d) { d["inputs"][0].erase("max"); }, "inputs[0].max is missing"},
        Damage{"NullInputRange", [](J& d) { d["inputs"][0]["min"] = nullptr; },
               "inputs[0].min is not a number"},
        Damage{"SameNameTwice", [](J& d) { d["inputs"][1]["name"] = "IN0"; },
               "'IN0' is named twice"},
        Damage{"NoTarget", [](J& d) { d.erase("target"); }, "target is missing"},
        Damage{"TargetRangeText", [](J& d) { d["target"]["min"] = "low"; },
               "target.min is neither a number nor null"},
        Damage{"TargetIsAnInput", [](J& d) { d["target"]["name"] = "in1"; },
               "named as an input and as the target"}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(NetworkFileAccess, MissingFolderAndOversizedFiles) {
  TempDb dir;
  EXPECT_EQ(RaisedBy([&] { LoadNetworkFile(dir.File("none.json")); })->Number(),
            kErrNetworkFileNotFound);
  EXPECT_EQ(RaisedBy([&] { LoadNetworkFile(dir.dir()); })->Number(), kErrNetworkFileAccess);

  const std::string big = dir.File("big.json");
  dir.WriteFile("big.json", "{}");
  std::filesystem::resize_file(big, 64u << 20);
  const std::optional<Error> e = RaisedBy([&] { LoadNetworkFile(big); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), kErrBadNetworkFile);
  EXPECT_THAT(e->Description(), HasSubstr("far more than any network"));
}

TEST(NetworkFileAccess, AFailedSaveKeepsTheEarlierFile) {
  TempDb dir;
  const std::string path = dir.File("net.json");
  SaveNetworkFile(MakeNetwork(2, 2, 1), path);

  SavedNetwork broken = MakeNetwork(3, 3, 1);
  broken.hidden.weight[1][2] = std::nan("");
  const std::optional<Error> e = RaisedBy([&] { SaveNetworkFile(broken, path); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), kErrBadNetworkFile);
  EXPECT_THAT(e->Description(), HasSubstr("hidden.weight[1][2] is not a finite number"));
  SavedNetwork not_utf8 = MakeNetwork(2, 2, 1);
  not_utf8.inputs[0].name =
      "Gr\xf6\xdf"
      "e";
  EXPECT_THAT(RaisedBy([&] { SaveNetworkFile(not_utf8, path); })->Description(),
              HasSubstr("not valid UTF-8"));
  EXPECT_EQ(LoadNetworkFile(path).layer_units, (std::array<int, 3>{2, 2, 1}));

  EXPECT_EQ(RaisedBy([&] {
              SaveNetworkFile(MakeNetwork(2, 2, 1), dir.File("no/such/dir.json"));
            })->Number(),
            kErrNetworkFileAccess);
}

// A table of examples: two inputs, a target, and trailing rows without a
// target that training skips but every write-back predicts.
constexpr const char* kExamples =
    "CREATE TABLE T (Price REAL, Weight REAL, Profit REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40)"
    "  INSERT INTO T SELECT (i * 37 % 19) + 0.25, (i * 11 % 7) * 1.5, "
    "    (i * 37 % 19) * 0.8 - (i * 11 % 7) + 3.0 FROM n;"
    "INSERT INTO T VALUES (4.5, 3.0, NULL), (0.25, 9.0, NULL), (18.25, 0.0, NULL);";

class PredictTest : public ::testing::Test {
 protected:
  void SetUp() override { seed_.SetSeed(11); }

  // Trains on table T and returns the network as the file would hold it.
  SavedNetwork Train(int epochs) {
    network_.SetMSAccessDBName(db_.path());
    network_.SetMSAccessTableName("T");
    network_.SetEpochs(epochs);
    network_.RunNetwork();
    return CaptureNetwork(network_);
  }

  std::vector<uint64_t> ActualBits(const std::string& table) {
    std::vector<uint64_t> out;
    for (const test::Row& row : db_.Query("SELECT Actual FROM " + table + " ORDER BY rowid")) {
      out.push_back(row[0].IsNull() ? 0xdeadu : std::bit_cast<uint64_t>(row[0].number()));
    }
    return out;
  }

  int64_t PredictFromFile(const SavedNetwork& net, const std::string& table) {
    const std::string file = db_.File("net.json");
    SaveNetworkFile(net, file);
    return Predict(ThisThread().DBEngine(), LoadNetworkFile(file), db_.path(), table);
  }

  ScopedThreadSettings seed_;
  TempDb db_{kExamples};
  Network network_;
};

TEST_F(PredictTest, ReproducesTrainingsPredictionsToTheBit) {
  const SavedNetwork net = Train(60);
  EXPECT_EQ(net.layer_units, (std::array<int, 3>{3, 20, 1}));
  ASSERT_EQ(net.inputs.size(), 2u);
  EXPECT_EQ(net.inputs[0].name, "Price");
  EXPECT_EQ(net.inputs[1].name, "Weight");
  EXPECT_EQ(net.inputs[0].min, 0.25);
  EXPECT_EQ(net.inputs[0].max, 18.25);
  EXPECT_EQ(net.target.name, "Profit");

  const std::vector<uint64_t> trained = ActualBits("T");
  ASSERT_EQ(trained.size(), 43u);
  db_.Exec("UPDATE T SET Actual = NULL");
  EXPECT_EQ(PredictFromFile(net, "T"), 43);
  EXPECT_EQ(ActualBits("T"), trained);
}

TEST_F(PredictTest, LeavesTheThreadsNetworkAlone) {
  const SavedNetwork trained = Train(5);
  SavedNetwork other = trained;
  for (auto& row : other.hidden.weight) {
    for (double& w : row) w = -w;
  }
  PredictFromFile(other, "T");
  ExpectIdentical(CaptureNetwork(network_), trained);
}

TEST_F(PredictTest, FindsInputsByNameAndAddsActual) {
  const SavedNetwork net = Train(30);
  const std::vector<uint64_t> trained = ActualBits("T");
  // The same rows with the columns in another order, an extra column and no
  // Actual, as another program might keep them.
  db_.Exec(
      "CREATE TABLE U (Note TEXT, weight REAL, Profit REAL, PRICE REAL);"
      "INSERT INTO U SELECT 'x', Weight, Profit, Price FROM T ORDER BY rowid;");
  EXPECT_EQ(PredictFromFile(net, "U"), 43);
  EXPECT_EQ(ActualBits("U"), trained);
}

// Another program vacuums the file while predictions are being written: the
// rows a VACUUM renumbers are not written by their old rowids. Every row
// holds its old value or its own prediction.
TEST_F(PredictTest, StopsWhenAnotherProgramVacuumsTheFile) {
  const SavedNetwork net = Train(5);
  db_.Exec(
      "CREATE TABLE W AS SELECT T.* FROM T, T AS b, T AS c LIMIT 6000;"
      "DELETE FROM W WHERE rowid % 2 = 1;");
  ASSERT_EQ(PredictFromFile(net, "W"), 3000);

  // The other program waits for the first stored prediction, then vacuums
  // between two of the rows' commits; the busy handler may let the writer
  // finish first, and the attempt is made again.
  std::optional<Error> raised;
  for (int attempt = 0; attempt < 5 && !raised; ++attempt) {
    db_.Exec(
        "DROP TABLE IF EXISTS V;"
        "CREATE TABLE V AS SELECT T.* FROM T, T AS b, T AS c LIMIT 6000;"
        "DELETE FROM V WHERE rowid % 2 = 1;"
        "UPDATE V SET Actual = -7;");
    std::thread other([path = db_.path()] {
      sqlite3* db = nullptr;
      sqlite3_open(path.c_str(), &db);
      sqlite3_busy_timeout(db, 10000);
      for (bool started = false; !started;) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db, "SELECT 1 FROM V WHERE Actual <> -7", -1, &s, nullptr);
        started = sqlite3_step(s) == SQLITE_ROW;
        sqlite3_finalize(s);
      }
      EXPECT_EQ(sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
    });
    raised = RaisedBy([&] { PredictFromFile(net, "V"); });
    other.join();
  }
  ASSERT_TRUE(raised.has_value()) << "every attempt ended before the VACUUM";
  EXPECT_EQ(raised->Number(), kErrRestructured) << raised->Description();

  const std::vector<test::Row> got = db_.Query("SELECT Actual FROM V ORDER BY rowid");
  const std::vector<test::Row> own = db_.Query("SELECT Actual FROM W ORDER BY rowid");
  ASSERT_EQ(got.size(), own.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i][0] == Value(-7.0)) continue;
    EXPECT_EQ(got[i][0], own[i][0]) << "row " << i + 1 << " holds another row's prediction";
  }
}

TEST_F(PredictTest, RefusesTablesItCannotPredict) {
  const SavedNetwork net = Train(3);
  auto error = [&](const std::string& table) {
    const std::optional<Error> e = RaisedBy([&] { PredictFromFile(net, table); });
    return e ? *e : Error(0, "no error");
  };

  db_.Exec("CREATE TABLE NoWeight (Price REAL, Profit REAL); INSERT INTO NoWeight VALUES (1, 2);");
  const Error missing = error("NoWeight");
  EXPECT_EQ(missing.Number(), kErrItemNotFound);
  EXPECT_THAT(missing.Description(), HasSubstr("'Weight'"));
  EXPECT_EQ(db_.Query("SELECT * FROM NoWeight")[0].size(), 2u) << "no Actual added";

  db_.Exec(
      "CREATE TABLE NullInput (Price REAL, Weight REAL); INSERT INTO NullInput VALUES (1, NULL);");
  EXPECT_EQ(error("NullInput").Number(), kErrInvalidUseOfNull);
  db_.Exec(
      "CREATE TABLE TextInput (Price REAL, Weight); INSERT INTO TextInput VALUES (1, 'heavy');");
  EXPECT_EQ(error("TextInput").Number(), kErrTypeMismatch);
  EXPECT_EQ(error("NoSuchTable").Number(), kErrTableNotFound);

  EXPECT_EQ(
      RaisedBy([&] { Predict(ThisThread().DBEngine(), net, db_.File("none.db"), "T"); })->Number(),
      kErrDbFileNotFound);
}

TEST_F(PredictTest, RefusesNetworksThatWouldDamageTheTable) {
  SavedNetwork net = Train(3);
  net.inputs[1].name = "actual";
  db_.Exec("CREATE TABLE W (Price REAL, actual REAL); INSERT INTO W VALUES (1, 2);");
  EXPECT_EQ(RaisedBy([&] { Predict(ThisThread().DBEngine(), net, db_.path(), "W"); })->Number(),
            kErrBadNetworkFile);
  EXPECT_EQ(db_.Scalar("SELECT actual FROM W").number(), 2.0);

  SavedNetwork no_range = Train(3);
  no_range.target.min.reset();
  EXPECT_EQ(
      RaisedBy([&] { Predict(ThisThread().DBEngine(), no_range, db_.path(), "T"); })->Number(),
      kErrInvalidUseOfNull);
}

TEST(CaptureNetwork, NeedsATrainingRun) {
  Network network;
  EXPECT_EQ(RaisedBy([&] { CaptureNetwork(network); })->Number(), kErrSubscript);
}

// The file takes its ranges and names from the object and its weights from
// the thread: it is written only while the two belong together.
TEST_F(PredictTest, SavesOnlyTheNetworkThisObjectTrainedLast) {
  const SavedNetwork mine = Train(5);
  db_.Exec(
      "CREATE TABLE U (Height REAL, Age REAL, Cost REAL);"
      "INSERT INTO U VALUES (1, 20, 3), (2, 35, 5), (3, 50, 4);");
  Network other;
  other.SetMSAccessDBName(db_.path());
  other.SetMSAccessTableName("U");
  other.SetEpochs(3);
  other.RunNetwork();

  const std::optional<Error> refused = RaisedBy([&] { CaptureNetwork(network_); });
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->Number(), kErrInvalidOperation);
  EXPECT_THAT(refused->Description(), HasSubstr("another Network"));
  EXPECT_EQ(CaptureNetwork(other).target.name, "Cost");

  // A run that fails may already have replaced the weights, so it counts.
  Network failing;
  failing.SetMSAccessDBName(db_.path());
  failing.SetMSAccessTableName("NoSuchTable");
  EXPECT_EQ(RaisedBy([&] { failing.RunNetwork(); })->Number(), kErrTableNotFound);
  EXPECT_EQ(RaisedBy([&] { CaptureNetwork(other); })->Number(), kErrInvalidOperation);

  // Trained again, the object saves again: the same network, since the seed
  // is fixed.
  network_.RunNetwork();
  ExpectIdentical(CaptureNetwork(network_), mine);
}

}  // namespace
}  // namespace kelda
