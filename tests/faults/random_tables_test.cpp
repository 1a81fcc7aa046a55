// Random tables, from fixed seeds: 1 to 22 columns of every declared type,
// 0 to 60 rows of numbers of every magnitude, Nulls, texts, blobs and
// infinities, names that need quoting, sometimes an `Actual` already there.
// Training, input relevance and prediction each end in success, with every
// `Actual` a finite number, or in one of the documented error numbers with
// every row holding its old value or a finite number; never a crash, a hang,
// an exception of another kind or a sanitizer report.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/error.h"
#include "component/network_file.h"
#include "component/thread_block.h"
#include "data/database.h"
#include "faults/fault_support.h"
#include "support/temp_db.h"

namespace kelda::faults {
namespace {

// What a run on a table it cannot use may stop with.
const std::set<int> kDocumented = {
    kErrBadNetworkFile,    // a saved network whose column names cannot be written
    kErrOverflow,          // a constant column; an infinity or a range beyond a double
    kErrSubscript,         // more inputs than the layer, or than rows
    kErrDivisionByZero,    // texts whose range has no width but values outside it
    kErrTypeMismatch,      // a text that is not a number, a blob
    kErrInvalidUseOfNull,  // a Null input, a column without values
    kErrSyntax,            // a table of one column: no input to query
    kErrFieldExists,       // a column named `actual` in another case
    kErrInvalidOperation,  // every name of the rowid taken by a column
    kErrConversion,        // an `Actual` column that refuses a prediction
};

constexpr int kCasesPerSeed = 25;

class Generator {
 public:
  explicit Generator(uint64_t seed) : random_(seed) {}

  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }
  template <class T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<size_t>(Int(0, static_cast<int>(items.size()) - 1))];
  }

  // Distinct column names (SQLite compares them ignoring ASCII case), now
  // and then one that needs quoting or collides with the rowid or `Actual`.
  std::vector<std::string> Names(int count) {
    static const std::vector<std::string> odd = {
        "x y",   "select", "it's",    "q\"uote", "Größe", "\xff\xfe", "",    "actual",
        "rowid", "oid",    "_rowid_", "Actual",  "a;b",   "1st",      "[c]", "from"};
    std::vector<std::string> names;
    std::set<std::string> taken;
    while (static_cast<int>(names.size()) < count) {
      std::string name = Chance(0.05) ? Pick(odd) : "c" + std::to_string(names.size());
      std::string key = name;
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (taken.insert(key).second) names.push_back(name);
    }
    return names;
  }

  // A type of numeric or no affinity; with `any`, text affinity too.
  std::string DeclaredType(bool any) {
    static const std::vector<std::string> numeric = {"REAL", "REAL",    "INTEGER",
                                                     "",     "NUMERIC", "DOUBLE"};
    static const std::vector<std::string> all = {"REAL", "INTEGER", "TEXT",   "BLOB",
                                                 "",     "NUMERIC", "DOUBLE", "VARCHAR(8)"};
    return Pick(any ? all : numeric);
  }

  // Binds a value of a column whose values are off with probability `dirt`.
  void BindCell(sqlite3_stmt* stmt, int n, double scale, double dirt) {
    if (!Chance(dirt)) {
      const double v = std::normal_distribution<double>(0.0, 1.0)(random_) * scale;
      if (Chance(0.3)) {
        sqlite3_bind_int64(stmt, n, static_cast<sqlite3_int64>(std::fmod(std::round(v), 1e15)));
      } else {
        sqlite3_bind_double(stmt, n, v);
      }
      return;
    }
    const double inf = std::numeric_limits<double>::infinity();
    switch (Int(0, 13)) {
      case 0:
      case 1:
        sqlite3_bind_null(stmt, n);
        break;
      case 2:
        sqlite3_bind_text(stmt, n, " 12.5 ", -1, SQLITE_STATIC);
        break;
      case 3:
        sqlite3_bind_text(stmt, n, Chance(0.5) ? "abc" : "", -1, SQLITE_STATIC);
        break;
      case 4:
        sqlite3_bind_blob(stmt, n, "\x00\xff", 2, SQLITE_STATIC);
        break;
      case 5:
        sqlite3_bind_double(stmt, n, Chance(0.5) ? inf : -inf);
        break;
      case 6:
        sqlite3_bind_double(stmt, n, Chance(0.5) ? 1.7e308 : -1.7e308);
        break;
      case 7:
        sqlite3_bind_double(stmt, n, Chance(0.5) ? 5e-324 : -0.0);
        break;
      case 8:
        sqlite3_bind_int64(stmt, n,
                           Chance(0.5) ? std::numeric_limits<sqlite3_int64>::max()
                                       : std::numeric_limits<sqlite3_int64>::min());
        break;
      case 9:
        sqlite3_bind_text(stmt, n, "1e999", -1, SQLITE_STATIC);
        break;
      case 10:
        sqlite3_bind_text(stmt, n, "7\0x", 3, SQLITE_STATIC);
        break;
      case 11:
        sqlite3_bind_text(stmt, n, "0x1F", -1, SQLITE_STATIC);
        break;
      default:
        sqlite3_bind_double(stmt, n, std::ldexp(1.0, Int(-1074, 1023)));
        break;
    }
  }

 private:
  std::mt19937_64 random_;
};

struct Case {
  std::string table;
  std::vector<std::string> columns;  // `Actual` last when the table has one already
  int32_t epochs = 0;
  bool tool = false;  // through the tool rather than the library
};

// Writes a random table into `db` and says what was made.
Case MakeTable(Generator& g, const test::TempDb& db) {
  Case c;
  c.table = g.Chance(0.1) ? "my table; DROP TABLE keep" : "t";
  const int count = g.Int(1, 22);
  c.columns = g.Names(count);
  if (g.Chance(0.3)) {
    bool clash = false;
    for (const std::string& n : c.columns)
      clash = clash || data::SqlName(n) == "Actual" || n == "actual" || n == "Actual";
    if (!clash) c.columns.push_back("Actual");
  }
  // Half the tables hold numbers only, so that runs get far.
  const bool clean = g.Chance(0.5);
  std::string create = "CREATE TABLE " + data::SqlName(c.table) + "(";
  std::string insert = "INSERT INTO " + data::SqlName(c.table) + " VALUES (";
  for (size_t i = 0; i < c.columns.size(); ++i) {
    create += (i ? ", " : "") + data::SqlName(c.columns[i]) + " " + g.DeclaredType(!clean);
    insert += i ? ", ?" : "?";
  }
  test::RawDb raw(db.path());
  raw.Exec(create + "); CREATE TABLE keep(z); INSERT INTO keep VALUES ('kept');");
  std::vector<double> scale;
  std::vector<double> dirt;
  for (size_t i = 0; i < c.columns.size(); ++i) {
    scale.push_back(g.Chance(0.2) ? std::pow(10.0, g.Int(-300, 300))
                                  : std::pow(10.0, g.Int(-2, 4)));
    dirt.push_back(clean ? 0.0 : g.Pick(std::vector<double>{0.0, 0.0, 0.02, 0.1, 0.4}));
  }
  const int rows = g.Int(0, 60);
  // Rows after the examples: the target Null.
  const int examples = g.Chance(0.3) ? g.Int(0, rows) : rows;
  const size_t target = c.columns.size() - (c.columns.back() == "Actual" ? 2 : 1);
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = insert + ")";
  if (sqlite3_prepare_v2(raw.get(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(raw.get());
    return c;
  }
  raw.Exec("BEGIN");
  for (int r = 0; r < rows; ++r) {
    for (size_t i = 0; i < c.columns.size(); ++i) {
      const int n = static_cast<int>(i) + 1;
      if (i == target && r >= examples) {
        sqlite3_bind_null(stmt, n);
      } else {
        g.BindCell(stmt, n, scale[i], dirt[i]);
      }
    }
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  raw.Exec("COMMIT");
  c.epochs = g.Int(-1, 12);
  return c;
}

// A written prediction: a finite number, or its text in a column of text
// affinity.
bool Written(const Value& v) {
  if (v.IsNumber()) return std::isfinite(v.number());
  return v.IsText() && ParseNumber(v.text()).has_value();
}

class RandomTables : public ::testing::TestWithParam<uint64_t> {
 protected:
  void ExpectDocumented(const Outcome& o, const char* step) {
    EXPECT_TRUE(o.number == 0 || kDocumented.count(o.number) > 0)
        << step << " stopped with " << o.number << ": " << o.text;
    if (o.number != 0) {
      EXPECT_FALSE(o.text.empty()) << step;
    }
  }

  // After success every row holds a prediction; after an error every row
  // holds its old value or a prediction.
  void ExpectTable(const test::TempDb& db, const Case& c, const std::map<int64_t, Value>& before,
                   bool succeeded, const char* step) {
    EXPECT_EQ(IntegrityCheck(db.path()), "ok") << step;
    EXPECT_EQ(db.Scalar("SELECT z FROM keep"), Value("kept")) << step;
    for (const auto& [rowid, v] : ActualByRow(db.path(), c.table)) {
      const auto old = before.find(rowid);
      ASSERT_NE(old, before.end()) << step;
      if (succeeded) {
        EXPECT_TRUE(Written(v)) << step << ": row " << rowid << " holds " << v.Describe();
      } else {
        EXPECT_TRUE(v == old->second || Written(v))
            << step << ": row " << rowid << " holds " << v.Describe();
      }
    }
  }

  void RunLibrary(const test::TempDb& db, const Case& c, const std::map<int64_t, Value>& before) {
    Network network;
    const Outcome trained = TrainWithLibrary(network, db.path(), c.table, c.epochs, GetParam());
    ExpectDocumented(trained, "training");
    ExpectTable(db, c, before, trained.number == 0, "training");

    std::optional<std::vector<double>> scores;
    const Outcome relevance = Attempt([&] { scores = network.InputRelevance(); });
    ExpectDocumented(relevance, "relevance");
    ExpectTable(db, c, before, false, "relevance");
    if (relevance.number == 0 && trained.number == 0) {
      ASSERT_TRUE(scores.has_value());
      for (double s : *scores) EXPECT_TRUE(std::isfinite(s));
    }
    if (trained.number != 0) return;

    const Outcome predicted = Attempt([&] {
      const std::string file = db.File("net.json");
      SaveNetworkFile(CaptureNetwork(network), file);
      Predict(ThisThread().DBEngine(), LoadNetworkFile(file), db.path(), c.table);
    });
    ExpectDocumented(predicted, "prediction");
    ExpectTable(db, c, before, predicted.number == 0, "prediction");
  }

  void RunTool(const test::TempDb& db, const Case& c, const std::map<int64_t, Value>& before) {
    const std::string file = db.File("net.json");
    // The tool takes no negative epoch count (a usage error); the library does.
    const Outcome trained = faults::RunTool(
        {"train", db.path(), c.table, "--epochs", std::to_string(std::max(c.epochs, 0)), "--seed",
         std::to_string(GetParam()), "--relevance", "--json", "--save-network", file});
    ExpectDocumented(trained, "tool train");
    ExpectTable(db, c, before, trained.number == 0, "tool train");
    if (trained.number != 0) return;
    const Outcome predicted = faults::RunTool({"predict", db.path(), c.table, "--network", file});
    ExpectDocumented(predicted, "tool predict");
    ExpectTable(db, c, before, predicted.number == 0, "tool predict");
  }
};

TEST_P(RandomTables, EndInSuccessOrADocumentedError) {
  const TempFilesInMemory in_memory;
  for (int k = 0; k < kCasesPerSeed; ++k) {
    Generator g(GetParam() * 1000 + static_cast<uint64_t>(k));
    test::TempDb db;
    const Case c = MakeTable(g, db);
    SCOPED_TRACE("case " + std::to_string(k) + ": " + std::to_string(c.columns.size()) +
                 " columns, epochs " + std::to_string(c.epochs));
    const auto before = ActualByRow(db.path(), c.table);
    if (k % 3 == 2) {
      RunTool(db, c, before);
    } else {
      RunLibrary(db, c, before);
    }
    if (HasFatalFailure()) return;
  }
}

// 12 seeds of 25 tables each: 300 tables.
INSTANTIATE_TEST_SUITE_P(Seeds, RandomTables, ::testing::Range<uint64_t>(1, 13),
                         [](const auto& info) { return "Seed" + std::to_string(info.param); });

}  // namespace
}  // namespace kelda::faults
