// New tables from rows in memory on a real server: the layout a run needs
// (a key first, the columns, Actual last), the keys and values as given, the
// names as the server reads them, and one transaction whatever goes wrong.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "data/new_tables.h"
#include "support/pg_server.h"
#include "support/raised.h"

namespace kelda::data {
namespace {

using test::PgConn;
using test::PgServer;
using test::RaisedBy;

// Doubles whose shortest text is easy to get wrong.
const std::vector<double> kHard = {0.1,
                                   1.0 / 3.0,
                                   -0.0,
                                   5e-324,
                                   std::numeric_limits<double>::max(),
                                   -2.2250738585072014e-308,
                                   123456789012345678.0,
                                   1e-7};

// The server's bytes of a float8, as hex: the value to the last bit.
std::string Bits(double v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx",
                static_cast<unsigned long long>(std::bit_cast<uint64_t>(v)));
  return text;
}

// Every table made afresh: an empty public schema, and no schema s.
class NewTablesTest : public test::PgServerTest {
 protected:
  void SetUp() override {
    PgServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    server().Exec(
        "DROP SCHEMA IF EXISTS public CASCADE; DROP SCHEMA IF EXISTS s CASCADE;"
        "CREATE SCHEMA public; CREATE SCHEMA s;");
  }

  std::string Scalar(const std::string& sql) const { return PgConn(server().Uri()).Scalar(sql); }

  // The tables of the schemas public and s, as schema.name, sorted.
  std::string Tables() const {
    return Scalar(
        "SELECT coalesce(string_agg(table_schema || '.' || table_name, ' ' ORDER BY table_schema "
        "|| '.' || table_name COLLATE \"C\"), '') "
        "FROM information_schema.tables WHERE table_schema IN ('public', 's')");
  }

  // A main table of x, Y (Null in the last rows) and Actual, and the side
  // table that keeps Y of the rows `held` (their Y in the main table Null).
  static NewTable Main(const std::string& name, int rows) {
    NewTable t{name, {"x", "Y", "Actual"}, {}};
    for (int i = 0; i < rows; ++i) {
      t.rows.push_back({kHard[static_cast<std::size_t>(i) % kHard.size()] * (i + 1),
                        i < rows - 2 ? std::optional<double>(i * 10.0) : std::nullopt,
                        std::nullopt});
    }
    return t;
  }
  static KeyedTable Side(const std::string& name, NewTable& main, std::vector<std::size_t> held) {
    KeyedTable side{name, "row", {"Y", "x"}, {}, held};
    for (std::size_t r : held) {
      side.rows.push_back({main.rows[r][1], main.rows[r][0]});
      main.rows[r][1].reset();
    }
    return side;
  }

  void Make(const std::string& name, const NewTable& t, const std::optional<KeyedTable>& k,
            InterruptCheck interrupt = {}) const {
    NewTablesOptions options;
    options.interrupt = std::move(interrupt);
    MakeNewTables(name, t, k, options);
  }
};

TEST_F(NewTablesTest, KeyFirstThenColumnsWithTheValuesGivenInOrder) {
  NewTable t = Main("T", 3000);
  const KeyedTable side = Side("T_holdout", t, {5, 17, 2000});
  Make(server().Uri(), t, side);

  EXPECT_EQ(Scalar("SELECT string_agg(attname || ' ' || format_type(atttypid, atttypmod) || ' ' || "
                   "attidentity::text, ', ' ORDER BY attnum) FROM pg_attribute "
                   "WHERE attrelid = 'public.t'::regclass AND attnum > 0"),
            "id bigint a, x double precision , Y double precision , Actual double precision ");
  EXPECT_EQ(Scalar("SELECT string_agg(a.attname, ',') FROM pg_index i JOIN pg_attribute a "
                   "ON a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey) "
                   "WHERE i.indrelid = 'public.t'::regclass AND i.indisprimary"),
            "id");
  // Row i of the rows given has the key i + 1 and its values to the last bit.
  std::string expected;
  for (std::size_t i = 0; i < t.rows.size(); ++i) {
    expected += std::to_string(i + 1);
    for (const std::optional<double>& v : t.rows[i]) expected += ":" + (v ? Bits(*v) : "-");
    expected += ";";
  }
  EXPECT_EQ(Scalar("SELECT string_agg(id || ':' || coalesce(encode(float8send(x), 'hex'), '-') || "
                   "':' || coalesce(encode(float8send(\"Y\"), 'hex'), '-') || ':' || "
                   "coalesce(encode(float8send(\"Actual\"), 'hex'), '-'), ';' ORDER BY id) || ';' "
                   "FROM t"),
            expected);
  // The side table: its key is the key its row got, beside the true target
  // and the inputs.
  EXPECT_EQ(Scalar("SELECT string_agg(h.row || ':' || h.\"Y\" || ':' || (h.x = t.x), ' ' "
                   "ORDER BY h.row) FROM t_holdout h JOIN t ON t.id = h.row"),
            "6:50:true 18:170:true 2001:20000:true");
  EXPECT_EQ(Scalar("SELECT count(*) FROM t WHERE \"Y\" IS NULL"), "5");
  EXPECT_EQ(Scalar("SELECT format_type(atttypid, atttypmod) FROM pg_attribute "
                   "WHERE attrelid = 't_holdout'::regclass AND attname = 'row'"),
            "bigint");
}

TEST_F(NewTablesTest, AColumnNamedIdPushesTheKeyAside) {
  const NewTable t{"T", {"ID", "id2", "y", "Actual"}, {{1.0, 2.0, 3.0, std::nullopt}}};
  Make(server().Uri(), t, std::nullopt);
  EXPECT_EQ(Scalar("SELECT string_agg(attname, ',' ORDER BY attnum) FROM pg_attribute "
                   "WHERE attrelid = 'public.t'::regclass AND attnum > 0"),
            "id3,ID,id2,y,Actual");
  EXPECT_EQ(Scalar("SELECT id3 || ':' || \"ID\" FROM t"), "1:1");
}

struct NewTableNameCase {
  const char* label;
  std::string table;
  std::string side;
  std::string made;  // the tables there afterwards
};

void PrintTo(const NewTableNameCase& c, std::ostream* os) { *os << c.label; }

class NewTableNameTest : public NewTablesTest,
                         public ::testing::WithParamInterface<NewTableNameCase> {};

// The name reaches exactly the table the server reads it as, and no text of
// it runs as a statement.
TEST_P(NewTableNameTest, MakesExactlyTheNamedTables) {
  server().Exec("CREATE TABLE public.victim (k int PRIMARY KEY); INSERT INTO victim VALUES (7);");
  NewTable t = Main(GetParam().table, 4);
  const KeyedTable side = Side(GetParam().side, t, {0});
  Make(server().Uri(), t, side);
  EXPECT_EQ(Tables(), GetParam().made);
  EXPECT_EQ(Scalar("SELECT k FROM public.victim"), "7");
}

INSTANTIATE_TEST_SUITE_P(
    Names, NewTableNameTest,
    ::testing::Values(NewTableNameCase{"Bare", "Sales", "Sales_holdout",
                                       "public.sales public.sales_holdout public.victim"},
                      NewTableNameCase{"Schema", "S.Sales", "S.Sales_holdout",
                                       "public.victim s.sales s.sales_holdout"},
                      // The side table goes beside the table, whatever schema it names.
                      NewTableNameCase{"SideInTheTablesSchema", "s.\"My T\"", "\"My T_holdout\"",
                                       "public.victim s.My T s.My T_holdout"},
                      NewTableNameCase{"Hostile", "\"x\"\";DROP TABLE victim;--\"",
                                       "\"x\"\";DROP TABLE victim;--_holdout\"",
                                       "public.victim public.x\";DROP TABLE victim;-- "
                                       "public.x\";DROP TABLE victim;--_holdout"}),
    [](const ::testing::TestParamInfo<NewTableNameCase>& info) {
      return std::string(info.param.label);
    });

struct NewTableFailureCase {
  const char* label;
  std::string setup;  // run first
  std::string table;
  std::string key_column;
  int32_t number;
  std::string text;
};

void PrintTo(const NewTableFailureCase& c, std::ostream* os) { *os << c.label; }

class NewTableFailureTest : public NewTablesTest,
                            public ::testing::WithParamInterface<NewTableFailureCase> {};

// Refused, or failed late, and the database as it was: one transaction.
TEST_P(NewTableFailureTest, LeavesTheDatabaseAsItWas) {
  const NewTableFailureCase& c = GetParam();
  server().Exec(c.setup);
  const std::string before = Tables();
  NewTable t = Main(c.table, 5000);
  KeyedTable side = Side("T_holdout", t, {1, 2});
  side.key_column = c.key_column;
  const std::optional<Error> e = RaisedBy([&] { Make(server().Uri(), t, side); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), c.number) << e->Description();
  EXPECT_NE(e->Description().find(c.text), std::string::npos) << e->Description();
  EXPECT_EQ(Tables(), before);
  EXPECT_EQ(Scalar("SELECT count(*) FROM pg_class WHERE relname LIKE 't%' AND relkind = 'S'"), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, NewTableFailureTest,
    ::testing::Values(
        NewTableFailureCase{"TableExists", "CREATE TABLE t (a int); INSERT INTO t VALUES (1);", "T",
                            "row", kErrDatabase, "the table 'T' already exists"},
        NewTableFailureCase{"SideTableExists", "CREATE VIEW t_holdout AS SELECT 1 AS one", "T",
                            "row", kErrDatabase, "the table 'T_holdout' already exists"},
        // After the rows of the table are on the server: the side table
        // cannot be made.
        NewTableFailureCase{"LateFailure", "SELECT 1", "T", "x", kErrFieldExists, "\"x\""},
        NewTableFailureCase{"NoSuchSchema", "SELECT 1", "nowhere.T", "row", kErrDatabase,
                            "nowhere"},
        NewTableFailureCase{"NotAName", "SELECT 1", "a;b", "row", kErrDatabase, "a;b"},
        NewTableFailureCase{"ThreeParts", "SELECT 1", "a.b.c", "row", kErrInvalidArgument,
                            "schema.name"},
        NewTableFailureCase{"TooLong", "SELECT 1", std::string(64, 't'), "row", kErrInvalidArgument,
                            "longer than the 63 bytes"}),
    [](const ::testing::TestParamInfo<NewTableFailureCase>& info) {
      return std::string(info.param.label);
    });

// Stopped while the rows are on their way: 18 at once, and nothing made.
TEST_F(NewTablesTest, AnInterruptRollsBack) {
  NewTable t = Main("T", 400000);
  const KeyedTable side = Side("T_holdout", t, {3});
  // Past the connection's set-up: asked once for each part of the rows sent.
  int asked = 0;
  const std::optional<Error> e =
      RaisedBy([&] { Make(server().Uri(), t, side, [&asked] { return ++asked > 60; }); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrUserInterrupt) << e->Description();
  EXPECT_LT(asked, 200);
  EXPECT_EQ(Tables(), "");
}

TEST_F(NewTablesTest, AWrongPasswordIsNeverShown) {
  const std::string secret = "Wr0ng-Pw-91e";
  const std::optional<Error> e = RaisedBy(
      [&] { Make(server().Uri(PgServer::kPasswordUser, secret), Main("T", 3), std::nullopt); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrConnectionFailed);
  EXPECT_EQ(e->Description().find(secret), std::string::npos) << e->Description();
  EXPECT_EQ(std::string(e->what()).find(secret), std::string::npos) << e->what();
  EXPECT_EQ(Tables(), "");
}

}  // namespace
}  // namespace kelda::data
