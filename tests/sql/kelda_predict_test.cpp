#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <bit>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "component/network_file.h"
#include "sql/predict_function.h"
#include "support/process.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda {
namespace {

using test::TempDb;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A connection with the built extension loaded, as a program would load it.
class Connection {
 public:
  explicit Connection(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << sqlite3_errmsg(db_);
    sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 1, nullptr);
    char* error = nullptr;
    if (sqlite3_load_extension(db_, KELDA_SQL_MODULE, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << "cannot load " << KELDA_SQL_MODULE << ": " << (error ? error : "");
    }
    sqlite3_free(error);
  }
  ~Connection() { sqlite3_close_v2(db_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* get() const { return db_; }

  void Exec(const std::string& sql) const {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << (error ? error : "");
    }
    sqlite3_free(error);
  }

  // Column `col` of every row of `sql` as bits (Null as the marker 1), or
  // the statement's error text.
  struct Result {
    std::vector<std::vector<uint64_t>> rows;
    std::optional<std::string> error;
  };
  Result Query(const std::string& sql) const {
    Result out;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      out.error = sqlite3_errmsg(db_);
      return out;
    }
    int rc = 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::vector<uint64_t>& row = out.rows.emplace_back();
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        row.push_back(sqlite3_column_type(stmt, c) == SQLITE_NULL
                          ? 1
                          : std::bit_cast<uint64_t>(sqlite3_column_double(stmt, c)));
      }
    }
    if (rc != SQLITE_DONE) out.error = sqlite3_errmsg(db_);
    sqlite3_finalize(stmt);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string Text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// "kelda_predict('file', in0, in1, ...)" for the inputs of `net`.
std::string Call(const std::string& file, const SavedNetwork& net) {
  std::string call = "kelda_predict(" + Quoted(file);
  for (const InputColumn& column : net.inputs) call += ", " + column.name;
  return call + ")";
}

// Every row's stored prediction beside the function's value: the two columns
// must hold the same bits.
void ExpectSameAsStored(const Connection& con, const std::string& call, const std::string& table) {
  const Connection::Result r =
      con.Query("SELECT Actual, " + call + " FROM " + table + " ORDER BY rowid");
  ASSERT_FALSE(r.error) << *r.error;
  ASSERT_FALSE(r.rows.empty());
  for (std::size_t i = 0; i < r.rows.size(); ++i) {
    EXPECT_EQ(r.rows[i][0], r.rows[i][1]) << "row " << i + 1;
  }
}

TEST(KeldaPredictSql, AgreesWithTheToolOnTheDemo) {
  TempDb dir;
  const std::string demo = dir.File("demo");
  const std::string tool = KELDA_BINARY;
  const test::ProcessResult made = test::RunProcess(tool, {"demo", demo});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string db = demo + "/houses.db";
  const std::string file = demo + "/houses-network.json";
  // The tool's own predict writes what it stores, over what training wrote.
  {
    Connection con(db);
    con.Exec("UPDATE Houses SET Actual = NULL");
  }
  const test::ProcessResult predicted =
      test::RunProcess(tool, {"predict", db, "Houses", "--network", file});
  ASSERT_EQ(predicted.status, 0) << predicted.err;
  Connection con(db);
  ExpectSameAsStored(con, Call(file, LoadNetworkFile(file)), "Houses");
  EXPECT_EQ(con.Query("SELECT count(*) FROM Houses WHERE Actual IS NULL").rows[0][0],
            std::bit_cast<uint64_t>(0.0));
}

// A network of the given sizes with random parameters and input ranges
// around the values the table holds.
SavedNetwork RandomNetwork(int n1, int n2, int n3, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> weight(-2.0, 2.0);
  std::uniform_real_distribution<double> temperature(0.5, 6.0);
  SavedNetwork net;
  net.layer_units = {n1, n2, n3};
  for (int k = 0; k < n1; ++k) net.input_layer.push_back(weight(gen));
  auto layer = [&](int units, int below) {
    LayerParameters p;
    for (int j = 0; j < units; ++j) {
      p.bias.push_back(weight(gen));
      p.temperature.push_back(temperature(gen));
    }
    for (int i = 0; i < below; ++i) {
      std::vector<double>& row = p.weight.emplace_back();
      for (int j = 0; j < units; ++j) row.push_back(weight(gen));
    }
    return p;
  };
  net.hidden = layer(n2, n1);
  net.output = layer(n3, n2);
  for (int k = 0; k < n1 - 1; ++k) {
    const double min = weight(gen) * 10.0;
    net.inputs.push_back(InputColumn{"c" + std::to_string(k), min, min + 1.0 + temperature(gen)});
  }
  // Predictions on both sides of 0.1, where the stored number is rounded.
  net.target = TargetColumn{"y", -0.4, 0.9};
  return net;
}

struct Shape {
  int n1, n2, n3;
};

class RandomNetworks : public ::testing::TestWithParam<Shape> {};

TEST_P(RandomNetworks, AgreeWithPredictToTheBit) {
  const Shape s = GetParam();
  for (unsigned seed = 1; seed <= 3; ++seed) {
    const SavedNetwork net = RandomNetwork(s.n1, s.n2, s.n3, seed * 100 + s.n1);
    TempDb db;
    std::string columns;
    for (const InputColumn& c : net.inputs) columns += c.name + " REAL, ";
    db.Exec("CREATE TABLE T (" + columns + "y REAL)");
    // Values inside and outside the ranges, integers and reals.
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> value(-30.0, 30.0);
    for (int r = 0; r < 40; ++r) {
      std::string row;
      for (std::size_t k = 0; k < net.inputs.size(); ++k) {
        row +=
            (r % 5 == 0 ? std::to_string(static_cast<int>(value(gen))) : Text(value(gen))) + ", ";
      }
      db.Exec("INSERT INTO T VALUES (" + row + "NULL)");
    }
    const std::string file = db.File("net.json");
    SaveNetworkFile(net, file);
    ASSERT_EQ(Predict(LoadNetworkFile(file), db.path(), "T"), 40);
    Connection con(db.path());
    ExpectSameAsStored(con, Call(file, net), "T");
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RandomNetworks,
                         ::testing::Values(Shape{2, 1, 1}, Shape{4, 3, 1}, Shape{7, 20, 3},
                                           Shape{20, 20, 20}, Shape{20, 2, 1}),
                         [](const auto& info) {
                           const Shape s = info.param;
                           return std::to_string(s.n1) + "x" + std::to_string(s.n2) + "x" +
                                  std::to_string(s.n3);
                         });

// A network of two inputs a and b; `constant_a` gives a an empty range.
SavedNetwork TwoInputs(bool constant_a = false) {
  SavedNetwork net = RandomNetwork(3, 4, 1, 7);
  net.inputs[0] = InputColumn{"a", 1.0, constant_a ? 1.0 : 9.0};
  net.inputs[1] = InputColumn{"b", -5.0, 5.0};
  return net;
}

// One row, as `kelda predict` meets it in a table and as the function is
// called with it: both succeed with the same number or fail with the same
// error number.
struct RowCase {
  const char* name;
  const char* a;
  const char* b;
  bool constant_a;
  int number;  // 0: a prediction
};

class BadRows : public ::testing::TestWithParam<RowCase> {};

TEST_P(BadRows, AreRefusedAsPredictRefusesThem) {
  const RowCase c = GetParam();
  TempDb db("CREATE TABLE T (a, b)");  // no affinity: values stay as written
  db.Exec(std::string("INSERT INTO T VALUES (") + c.a + ", " + c.b + ")");
  const std::string file = db.File("net.json");
  SaveNetworkFile(TwoInputs(c.constant_a), file);
  const std::optional<Error> by_predict =
      test::RaisedBy([&] { Predict(LoadNetworkFile(file), db.path(), "T"); });
  EXPECT_EQ(by_predict ? by_predict->Number() : 0, c.number)
      << (by_predict ? by_predict->what() : "");

  Connection con(db.path());
  const Connection::Result r =
      con.Query("SELECT Actual, kelda_predict(" + Quoted(file) + ", a, b) FROM T");
  if (c.number == 0) {
    ASSERT_FALSE(r.error) << *r.error;
    EXPECT_EQ(r.rows.at(0)[0], r.rows.at(0)[1]);
  } else {
    ASSERT_TRUE(r.error);
    EXPECT_THAT(*r.error, StartsWith("kelda: error " + std::to_string(c.number) + ": "));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadRows,
    ::testing::Values(RowCase{"Numbers", "2", "0.5", false, 0},
                      RowCase{"OutOfRange", "-1e6", "300", false, 0},
                      RowCase{"NumericText", "'2.5'", "' 3'", false, 0},
                      RowCase{"Null", "3", "NULL", false, kErrInvalidUseOfNull},
                      RowCase{"Text", "'two'", "1", false, kErrTypeMismatch},
                      RowCase{"Blob", "x'00ff'", "1", false, kErrTypeMismatch},
                      RowCase{"Overflow", "1e999", "1", false, kErrOverflow},
                      // The constant column comes first: its error, not the Null's.
                      RowCase{"ConstantBeforeNull", "4", "NULL", true, kErrDivisionByZero}),
    [](const auto& info) { return info.param.name; });

// Calls that no table row can make: each an SQL error carrying the number.
struct CallCase {
  const char* name;
  const char* call;  // @ stands for the network file
  int number;
  const char* text;
};

class BadCalls : public ::testing::TestWithParam<CallCase> {};

TEST_P(BadCalls, AreSqlErrorsWithTheRuntimesNumber) {
  const CallCase c = GetParam();
  TempDb db;
  SaveNetworkFile(TwoInputs(), db.File("net.json"));
  db.WriteFile("damaged.json", "{\"format\": \"kelda-network\", \"version\": 1, ");
  std::string call = c.call;
  if (const auto at = call.find('@'); at != std::string::npos) call.replace(at, 1, db.dir());
  Connection con(":memory:");
  const Connection::Result r = con.Query("SELECT " + call);
  ASSERT_TRUE(r.error) << call;
  EXPECT_THAT(*r.error, StartsWith("kelda: error " + std::to_string(c.number) + ": "));
  EXPECT_THAT(*r.error, HasSubstr(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, BadCalls,
    ::testing::Values(
        CallCase{"NoArguments", "kelda_predict()", kErrInvalidArgument, "network file"},
        CallCase{"TooFew", "kelda_predict('@/net.json', 1)", kErrInvalidArgument,
                 "2 input values (a, b), not 1"},
        CallCase{"TooMany", "kelda_predict('@/net.json', 1, 2, 3)", kErrInvalidArgument, "not 3"},
        CallCase{"NullPath", "kelda_predict(NULL, 1, 2)", kErrInvalidUseOfNull, "network file"},
        CallCase{"NumberPath", "kelda_predict(7, 1, 2)", kErrTypeMismatch, "network file"},
        CallCase{"NullInput", "kelda_predict('@/net.json', 1, NULL)", kErrInvalidUseOfNull,
                 "input column 'b'"},
        CallCase{"TextInput", "kelda_predict('@/net.json', 'x', 2)", kErrTypeMismatch,
                 "input column 'a'"},
        CallCase{"MissingFile", "kelda_predict('@/none.json', 1, 2)", kErrNetworkFileNotFound,
                 "none.json"},
        CallCase{"DamagedFile", "kelda_predict('@/damaged.json', 1, 2)", kErrBadNetworkFile,
                 "damaged.json"},
        CallCase{"FolderAsFile", "kelda_predict('@', 1, 2)", kErrNetworkFileAccess,
                 "not a regular file"}),
    [](const auto& info) { return info.param.name; });

TEST(KeldaPredictSql, StandsInViewsGeneratedColumnsAndIndexes) {
  TempDb db(
      "CREATE TABLE T (a REAL, b REAL);"
      "INSERT INTO T VALUES (1, 2), (3.5, -4), (8, 0.25), (2, 2);");
  const std::string file = db.File("net.json");
  const SavedNetwork net = TwoInputs();
  SaveNetworkFile(net, file);
  ASSERT_EQ(Predict(LoadNetworkFile(file), db.path(), "T"), 4);
  Connection con(db.path());
  con.Exec("CREATE VIEW V AS SELECT *, kelda_predict(" + Quoted(file) +
           ", a, b) AS p FROM T;"
           "CREATE TABLE G (a REAL, b REAL, p REAL GENERATED ALWAYS AS (kelda_predict(" +
           Quoted(file) +
           ", a, b)) STORED);"
           "INSERT INTO G (a, b) SELECT a, b FROM T ORDER BY rowid;"
           "CREATE INDEX TP ON T (kelda_predict(" +
           Quoted(file) + ", a, b));");
  const auto expected = con.Query("SELECT Actual FROM T ORDER BY rowid").rows;
  EXPECT_EQ(con.Query("SELECT p FROM V ORDER BY rowid").rows, expected);
  EXPECT_EQ(con.Query("SELECT p FROM G ORDER BY rowid").rows, expected);
  // The index answers a search by the function's value.
  const auto found = con.Query("SELECT count(*) FROM T INDEXED BY TP WHERE kelda_predict(" +
                               Quoted(file) + ", a, b) = (SELECT Actual FROM T WHERE rowid = 3)");
  ASSERT_FALSE(found.error) << *found.error;
  EXPECT_GE(found.rows.at(0)[0], std::bit_cast<uint64_t>(1.0));
}

// Replaces `file` with the network `net`, as a save does (a new file renamed
// over the old one).
void Replace(const std::string& file, const SavedNetwork& net) { SaveNetworkFile(net, file); }

TEST(KeldaPredictSql, AStatementKeepsTheNetworkItStartedWith) {
  TempDb db(
      "CREATE TABLE T (a REAL, b REAL);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 30)"
      "  INSERT INTO T SELECT i % 7, i % 5 - 2 FROM n;");
  const std::string file = db.File("net.json");
  SavedNetwork first = TwoInputs();
  SavedNetwork second = TwoInputs();
  second.output.bias[0] += 1.0;
  Replace(file, first);
  Connection con(db.path());
  const std::string sql = "SELECT kelda_predict(" + Quoted(file) + ", a, b) FROM T ORDER BY rowid";
  const auto before = con.Query(sql).rows;

  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(con.get(), sql.c_str(), -1, &stmt, nullptr), SQLITE_OK);
  std::vector<std::vector<uint64_t>> during;
  for (int step = 0; sqlite3_step(stmt) == SQLITE_ROW; ++step) {
    during.push_back({std::bit_cast<uint64_t>(sqlite3_column_double(stmt, 0))});
    // The file changes, then goes, mid-statement.
    if (step == 5) Replace(file, second);
    if (step == 10) std::filesystem::remove(file);
  }
  EXPECT_EQ(sqlite3_errcode(con.get()), SQLITE_DONE);
  sqlite3_finalize(stmt);
  EXPECT_EQ(during, before);

  // The next statement reads the file that stands there now.
  Replace(file, second);
  const auto after = con.Query(sql);
  ASSERT_FALSE(after.error) << *after.error;
  EXPECT_NE(after.rows, before);
  ASSERT_EQ(Predict(LoadNetworkFile(file), db.path(), "T"), 30);
  EXPECT_EQ(after.rows, con.Query("SELECT Actual FROM T ORDER BY rowid").rows);
}

TEST(NetworkCache, ReadsAFileAgainOnlyWhenItChanges) {
  TempDb db;
  const std::string file = db.File("net.json");
  SavedNetwork net = TwoInputs();
  Replace(file, net);
  sql::NetworkCache cache;
  const auto first = cache.Get(file);
  EXPECT_EQ(cache.Get(file), first);
  EXPECT_EQ(cache.Reads(), 1);
  net.output.bias[0] += 1.0;
  Replace(file, net);  // another file at the path, whatever its time stamp
  EXPECT_NE(cache.Get(file), first);
  EXPECT_EQ(cache.Reads(), 2);
  std::filesystem::remove(file);
  EXPECT_EQ(test::ErrorNumberOf([&] { cache.Get(file); }), kErrNetworkFileNotFound);
}

TEST(KeldaPredictSql, ConnectionsOnSeveralThreadsGiveTheSameNumbers) {
  TempDb db(
      "CREATE TABLE T (a REAL, b REAL);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200)"
      "  INSERT INTO T SELECT i % 11 * 0.7, i % 13 - 6 FROM n;");
  const std::string file = db.File("net.json");
  SaveNetworkFile(TwoInputs(), file);
  ASSERT_EQ(Predict(LoadNetworkFile(file), db.path(), "T"), 200);
  const std::string sql = "SELECT Actual, kelda_predict(" + Quoted(file) + ", a, b) FROM T";
  std::vector<int> mismatches(4, -1);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        Connection con(db.path());
        int bad = 0;
        for (int round = 0; round < 5; ++round) {
          const auto r = con.Query(sql);
          if (r.error || r.rows.size() != 200) ++bad;
          for (const auto& row : r.rows) bad += row[0] != row[1];
        }
        mismatches[static_cast<std::size_t>(t)] = bad;
      });
    }
  }
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace kelda
