// Table and column names that are not plain identifiers: blanks, quotes,
// semicolons, SQL keywords, text that reads as a statement. A run on them
// works, every name quoted, or stops with a numbered error; either way the
// only statements that reach SQLite are the component's own, and a second
// table in the file is untouched.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "component/network_file.h"
#include "component/thread_block.h"
#include "data/database.h"
#include "faults/fault_support.h"
#include "support/temp_db.h"

namespace kelda::faults {
namespace {

struct Names {
  const char* name;
  std::string table;
  std::vector<std::string> inputs;
  std::string target;
  int number = 0;  // 0: the run works
};

void PrintTo(const Names& n, std::ostream* os) { *os << n.name; }

const Names kNames[] = {
    {"Blanks", "my table", {"unit price", "  volume "}, "net profit"},
    {"Quotes", "it's \"quoted\"", {"a\"b", "c'd"}, "`e`"},
    {"Keywords", "select", {"from", "where"}, "table"},
    {"Statements",
     "x; DROP TABLE keep",
     {"a); DROP TABLE keep; --", "b\"; DELETE FROM keep; --"},
     "y'; UPDATE keep SET z = 0; --"},
    {"Brackets", "[t]", {"[a]", "b]"}, "[c"},
    {"NonAscii", "Tabelle Überschuss", {"Größe", "価格"}, "Ergebnis €"},
    {"EmptyTableName", "", {"a", "b"}, "y"},
    {"Newline", "two\nlines", {"x\ty", "z\r\n"}, "w"},
    // A name that differs from `Actual` only in case is taken for another
    // column, and adding `Actual` beside it collides.
    {"ActualInLowerCase", "t", {"a", "b"}, "actual", 3191},
};

std::string Quote(const std::string& name) { return data::SqlName(name); }

// The table and a second one that must stay as it is.
std::string MakeTables(const Names& n) {
  std::string sql = "CREATE TABLE " + Quote(n.table) + "(";
  std::vector<std::string> columns = n.inputs;
  columns.push_back(n.target);
  for (size_t i = 0; i < columns.size(); ++i) sql += (i ? ", " : "") + Quote(columns[i]) + " REAL";
  sql += ");";
  for (int r = 1; r <= 12; ++r) {
    sql += "INSERT INTO " + Quote(n.table) + " VALUES (" + std::to_string(r % 5) + ", " +
           std::to_string(r * 7 % 11) + ", " + std::to_string(r % 3) + ");";
  }
  return sql + "CREATE TABLE keep(z); INSERT INTO keep VALUES ('a'), ('b');";
}

class HostileNames : public ::testing::TestWithParam<Names> {
 protected:
  void SetUp() override {
    data::DBEngine& engine = ThisThread().DBEngine();
    engine.SetStatementObserver([this](const std::string& sql) { seen_.push_back(sql); });
  }
  void TearDown() override { ThisThread().DBEngine().SetStatementObserver(nullptr); }

  // `keep` as it was, and every text that reached SQLite one statement the
  // component makes: a read, a setting of a connection, adding `Actual` to
  // the table, writing `Actual` of one of its rows, or keeping the rows of
  // the run in a connection's temporary schema.
  void ExpectOnlyOwnStatements() {
    EXPECT_GT(seen_.size(), 10u);
    EXPECT_EQ(IntegrityCheck(db_.path()), "ok");
    EXPECT_EQ(db_.Query("SELECT z FROM keep"),
              (std::vector<test::Row>{{Value("a")}, {Value("b")}}));
    const std::string table = Quote(GetParam().table);
    const std::string add_actual = "ALTER TABLE " + table + " ADD COLUMN Actual REAL";
    const std::string write_actual = "UPDATE " + table + " SET Actual=? WHERE rowid=?";
    const test::RawDb db(db_.path());
    std::unique_ptr<test::RawDb> scratch;  // a connection's temporary schema, replayed
    for (const std::string& sql : seen_) {
      if (sql == add_actual || sql.rfind("PRAGMA ", 0) == 0 || sql == "BEGIN" ||
          sql == "BEGIN IMMEDIATE" || sql == "COMMIT") {
        continue;
      }
      // The rows of the run are kept in a connection's temporary schema,
      // which no other connection sees; each connection's begins with its
      // table.
      const bool temporary =
          sql.rfind("CREATE TEMP ", 0) == 0 || sql.rfind("INSERT INTO temp.", 0) == 0;
      if (sql.rfind("CREATE TEMP TABLE ", 0) == 0)
        scratch = std::make_unique<test::RawDb>(db_.path());
      sqlite3* conn = temporary && scratch ? scratch->get() : db.get();
      sqlite3_stmt* stmt = nullptr;
      const char* tail = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(conn, sql.c_str(), -1, &stmt, &tail), SQLITE_OK)
          << sql << ": " << sqlite3_errmsg(conn);
      const bool read_only = sqlite3_stmt_readonly(stmt) != 0;
      if (sql.rfind("CREATE TEMP ", 0) == 0) {
        EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE) << sql;
      }
      sqlite3_finalize(stmt);
      EXPECT_EQ(std::string(tail).find_first_not_of(" ;\n"), std::string::npos) << sql;
      EXPECT_TRUE(read_only || temporary || sql == write_actual) << sql;
    }
  }

  test::TempDb db_{MakeTables(GetParam())};
  std::vector<std::string> seen_;
};

TEST_P(HostileNames, LibraryQuotesThemOrStopsWithANumberedError) {
  const Names& n = GetParam();
  Network network;
  Outcome o = TrainWithLibrary(network, db_.path(), n.table, 12);
  if (o.number == 0) {
    o = Attempt([&] {
      const std::optional<std::vector<double>> scores = network.InputRelevance();
      ASSERT_TRUE(scores);
      EXPECT_EQ(scores->size(), n.inputs.size());
      const SavedNetwork saved = CaptureNetwork(network);
      ASSERT_EQ(saved.inputs.size(), n.inputs.size());
      EXPECT_EQ(saved.inputs[0].name, n.inputs[0]);
      EXPECT_EQ(saved.target.name, n.target);
      // Through the file and back, then predicting every row again.
      const std::string file = db_.File("net.json");
      SaveNetworkFile(saved, file);
      EXPECT_EQ(Predict(ThisThread().DBEngine(), LoadNetworkFile(file), db_.path(), n.table), 12);
    });
  }
  EXPECT_EQ(o.number, n.number) << o.text;
  if (o.number == 0) {
    for (const auto& [rowid, v] : ActualByRow(db_.path(), n.table)) {
      EXPECT_TRUE(v.IsNumber() && std::isfinite(v.number())) << rowid << ": " << v.Describe();
    }
  }
  ExpectOnlyOwnStatements();
}

TEST_P(HostileNames, ToolQuotesThemOrStopsWithANumberedError) {
  const Names& n = GetParam();
  if (n.table.empty()) {
    // The tool takes an empty name for a mistake: bad usage, nothing run.
    EXPECT_EQ(RunTool({"train", db_.path(), "", "--epochs", "12"}).number, -1);
    return;
  }
  const std::string file = db_.File("net.json");
  Outcome o = RunTool({"train", db_.path(), n.table, "--epochs", "12", "--seed", "3", "--relevance",
                       "--json", "--save-network", file});
  if (o.number == 0) o = RunTool({"predict", db_.path(), n.table, "--network", file});
  EXPECT_EQ(o.number, n.number) << o.text;
  ExpectOnlyOwnStatements();
}

INSTANTIATE_TEST_SUITE_P(Names, HostileNames, ::testing::ValuesIn(kNames),
                         [](const ::testing::TestParamInfo<Names>& info) {
                           return std::string(info.param.name);
                         });

// A table name that is SQL text: the layer opens it as a read-only query
// (as a row source may be opened), and the run stops at the first step that
// needs a table, before anything is written.
struct QueryText {
  const char* name;
  const char* table;  // given as the table's name
  int error;
};

void PrintTo(const QueryText& q, std::ostream* os) { *os << '"' << q.table << '"'; }

class QueryForATableName : public ::testing::TestWithParam<QueryText> {};

TEST_P(QueryForATableName, StopsBeforeWritingAnything) {
  test::TempDb db(
      "CREATE TABLE t(a REAL, b REAL, y REAL, Actual REAL);"
      "INSERT INTO t VALUES (1, 2, 3, -1), (2, 1, 4, -1), (3, 5, 1, -1);"
      "CREATE TABLE keep(z); INSERT INTO keep VALUES ('a');");
  Network network;
  const Outcome o = TrainWithLibrary(network, db.path(), GetParam().table, 5);
  EXPECT_EQ(o.number, GetParam().error) << o.text;
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM t WHERE Actual = -1"), Value(3.0));
  EXPECT_EQ(db.Scalar("SELECT z FROM keep"), Value("a"));
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM sqlite_master"), Value(2.0));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, QueryForATableName,
    ::testing::Values(
        QueryText{"SelectFromAnotherTable", "SELECT * FROM keep", 3265},  // no table to add to
        QueryText{"SelectFromTheTable", "SELECT a, b, y, Actual FROM t",
                  3078},                                                // no table to query
        QueryText{"TwoStatements", "SELECT 1; DROP TABLE keep", 3142},  // one statement only
        QueryText{"DeleteInAWithClause", "WITH d AS (DELETE FROM keep) SELECT 1", 3075},
        QueryText{"Drop", "DROP TABLE keep", 3078},
        QueryText{"NameThenDrop", "t; DROP TABLE keep", 3078}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelda::faults
