// Finding a training table on a server: which table a name reaches, what is
// refused, and statements that reach that table and nothing else. Each test
// has a database of its own on the suite's cluster.
#include "data/postgres/catalog.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "data/postgres/errors.h"
#include "support/pg_server.h"
#include "support/raised.h"

namespace kelda::data::postgres {
namespace {

using test::PgConn;
using test::PgResult;
using test::RaisedBy;

class CatalogTest : public test::PgServerTest {
 protected:
  void SetUp() override {
    PgServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    static int databases = 0;
    db_ = "catalog_" + std::to_string(++databases);
    server().Exec("CREATE DATABASE " + db_);
    conn_ = std::make_unique<PgConn>(server().Uri("postgres", {}, db_));
    conn().Exec("CREATE TABLE victim (id integer PRIMARY KEY)");
  }

  void TearDown() override {
    conn_.reset();
    if (db_.empty()) return;
    server().Exec("DROP DATABASE " + db_ + " WITH (FORCE)");
    for (const std::string& role : roles_) server().Exec("DROP ROLE " + role);
  }

  const PgConn& conn() const { return *conn_; }

  // A login role of this test's own; dropped with the test.
  std::string Role(const std::string& name, const std::string& options = "LOGIN") {
    roles_.push_back(name + "_" + db_);
    server().Exec("CREATE ROLE " + roles_.back() + " " + options);
    return roles_.back();
  }

  PgConn ConnectAs(const std::string& role) const { return PgConn(server().Uri(role, {}, db_)); }

  // Every row of `sql`, its fields joined by '|'.
  static std::vector<std::string> Rows(const PgConn& conn, const std::string& sql) {
    const PgResult r = conn.Run(sql);
    EXPECT_EQ(PQresultStatus(r.get()), PGRES_TUPLES_OK)
        << sql << ": " << PQresultErrorMessage(r.get());
    std::vector<std::string> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      std::string row;
      for (int j = 0; j < PQnfields(r.get()); ++j) {
        row += (j > 0 ? "|" : "") + std::string(PQgetvalue(r.get(), i, j));
      }
      rows.push_back(row);
    }
    return rows;
  }

  bool VictimStands() const { return conn().Scalar("SELECT to_regclass('public.victim')") != ""; }

 private:
  std::string db_;
  std::unique_ptr<PgConn> conn_;
  std::vector<std::string> roles_;
};

// "CREATE TABLE <q> (id integer PRIMARY KEY, marker text)" with one row whose
// marker tells the tables apart.
std::string Marked(const std::string& q, const std::string& marker) {
  return "CREATE TABLE " + q + " (id integer PRIMARY KEY, marker text); INSERT INTO " + q +
         " VALUES (1, '" + marker + "');";
}

struct NameCase {
  const char* label;
  std::string setup;
  std::string name;
  const char* schema;  // "" for the session's temporary schema
  const char* table;
  const char* marker;  // the row the statements reach
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

class NameTest : public CatalogTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NameTest, ReachesTheNamedTable) {
  const NameCase& c = GetParam();
  conn().Exec(c.setup);
  const ServerTable t = ResolveTable(conn().get(), c.name);
  if (*c.schema != '\0') {
    EXPECT_EQ(t.schema, c.schema);
  } else {
    EXPECT_EQ(t.schema.rfind("pg_temp_", 0), 0u) << t.schema;
  }
  EXPECT_EQ(t.name, c.table);
  EXPECT_EQ(t.qualified, QuoteIdentifier(t.schema) + "." + QuoteIdentifier(t.name));
  EXPECT_EQ(Rows(conn(), KeyOrderSelect(t, InputColumns(t))), std::vector<std::string>{c.marker});
  EXPECT_TRUE(VictimStands());
}

const std::string kTempT = Marked("t", "public") +
                           "CREATE TEMP TABLE t (id integer PRIMARY KEY, marker text);"
                           "INSERT INTO pg_temp.t VALUES (1, 'temp');";

INSTANTIATE_TEST_SUITE_P(
    Names, NameTest,
    ::testing::Values(
        NameCase{"Plain", Marked("t", "public"), "t", "public", "t", "public"},
        NameCase{"UnquotedFoldsToLowerCase",
                 Marked("sales", "lower") + Marked("\"Sales\"", "upper"), "Sales", "public",
                 "sales", "lower"},
        NameCase{"QuotedKeepsCase", Marked("sales", "lower") + Marked("\"Sales\"", "upper"),
                 "\"Sales\"", "public", "Sales", "upper"},
        NameCase{"SchemaDotName", "CREATE SCHEMA s;" + Marked("s.t", "s") + Marked("t", "public"),
                 "s.t", "s", "t", "s"},
        NameCase{"DotInsideQuotesIsOneName",
                 "CREATE SCHEMA a;" + Marked("a.b", "two parts") + Marked("\"a.b\"", "one name"),
                 "\"a.b\"", "public", "a.b", "one name"},
        NameCase{"DotOutsideQuotesSplits",
                 "CREATE SCHEMA a;" + Marked("a.b", "two parts") + Marked("\"a.b\"", "one name"),
                 "a.b", "a", "b", "two parts"},
        NameCase{"Spaces", "CREATE SCHEMA \"my data\";" + Marked("\"my data\".\"x y\"", "spaces"),
                 "\"my data\".\"x y\"", "my data", "x y", "spaces"},
        NameCase{"DoubledQuote", Marked("\"q\"\"t\"", "quote"), "\"q\"\"t\"", "public", "q\"t",
                 "quote"},
        NameCase{"Semicolon", Marked("\"x; DROP TABLE victim\"", "semicolon"),
                 "\"x; DROP TABLE victim\"", "public", "x; DROP TABLE victim", "semicolon"},
        // A temporary table reaches no run that does not name it.
        NameCase{"TemporaryDoesNotShadow", kTempT, "t", "public", "t", "public"},
        NameCase{"TemporaryByName", kTempT, "pg_temp.t", "", "t", "temp"},
        NameCase{"TemporaryWhereSearchPathPutsIt", kTempT + "SET search_path = pg_temp, public",
                 "t", "", "t", "temp"},
        // The session's search path in its order; a schema is reached by
        // naming it.
        NameCase{"SearchPathOrder",
                 "CREATE SCHEMA early;" + Marked("early.t", "early") + Marked("t", "public") +
                     "SET search_path = early, public",
                 "t", "early", "t", "early"},
        NameCase{"SchemaNamedPastEarlierOne",
                 "CREATE SCHEMA early;" + Marked("early.t", "early") + Marked("t", "public") +
                     "SET search_path = early, public",
                 "public.t", "public", "t", "public"},
        NameCase{"SchemaWithoutItSkipped",
                 "CREATE SCHEMA early;" + Marked("t", "public") + "SET search_path = early, public",
                 "t", "public", "t", "public"}),
    [](const auto& info) { return std::string(info.param.label); });

struct BadName {
  const char* label;
  std::string name;
};

void PrintTo(const BadName& c, std::ostream* os) { *os << c.label; }

class BadNameTest : public CatalogTest, public ::testing::WithParamInterface<BadName> {};

// Nothing of the text runs, and no other table is taken for it.
TEST_P(BadNameTest, IsNoTable) {
  conn().Exec(Marked("t", "public") + "CREATE SCHEMA a; CREATE TABLE a.b (id integer PRIMARY KEY)");
  const std::optional<Error> e = RaisedBy([&] { ResolveTable(conn().get(), GetParam().name); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrTableNotFound) << e->Description();
  EXPECT_TRUE(VictimStands());
}

INSTANTIATE_TEST_SUITE_P(
    Names, BadNameTest,
    ::testing::Values(BadName{"Missing", "nosuch"}, BadName{"MissingInSchema", "a.nosuch"},
                      BadName{"MissingSchema", "nosuch.t"}, BadName{"CaseDiffers", "\"T\""},
                      BadName{"Statement", "t; DROP TABLE victim"},
                      BadName{"TrailingSemicolon", "victim;"}, BadName{"UnbalancedQuote", "t\""},
                      BadName{"EmptyQuoted", "\"\""}, BadName{"Empty", ""},
                      BadName{"UnquotedSpace", "my t"}, BadName{"ThreeParts", "kelda.a.b"},
                      BadName{"NulCutsNothingShort", std::string("victim\0x", 8)}),
    [](const auto& info) { return std::string(info.param.label); });

struct KindCase {
  const char* label;
  std::string setup;
  const char* name;
  int32_t number;       // 0: the table works
  const char* mention;  // in the error's text
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.label; }

class KindTest : public CatalogTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(KindTest, WorksOrSaysWhy) {
  const KindCase& c = GetParam();
  conn().Exec("CREATE TABLE base (id integer PRIMARY KEY, a double precision);" + c.setup);
  const std::optional<Error> e = RaisedBy([&] { ResolveTable(conn().get(), c.name); });
  EXPECT_EQ(e ? e->Number() : 0, c.number) << (e ? e->Description() : "");
  if (e) {
    EXPECT_NE(e->Description().find(c.mention), std::string::npos) << e->Description();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, KindTest,
    ::testing::Values(
        KindCase{"Table", "", "base", 0, ""},
        KindCase{"Partitioned",
                 "CREATE TABLE p (id integer PRIMARY KEY, a double precision) PARTITION BY RANGE "
                 "(id); CREATE TABLE p1 PARTITION OF p FOR VALUES FROM (0) TO (10)",
                 "p", 0, ""},
        KindCase{"PartitionedWithoutKey",
                 "CREATE TABLE p (id integer, a double precision) PARTITION BY RANGE (id)", "p",
                 kErrInvalidOperation, "no primary key"},
        KindCase{"View", "CREATE VIEW v AS SELECT * FROM base", "v", kErrInvalidOperation,
                 "is a view"},
        KindCase{"MaterializedView", "CREATE MATERIALIZED VIEW m AS SELECT * FROM base", "m",
                 kErrInvalidOperation, "materialized view"},
        KindCase{"ForeignTable",
                 "CREATE FOREIGN DATA WRAPPER w; CREATE SERVER srv FOREIGN DATA WRAPPER w;"
                 "CREATE FOREIGN TABLE f (id integer, a double precision) SERVER srv",
                 "f", kErrInvalidOperation, "foreign table"},
        KindCase{"Index", "", "base_pkey", kErrTableNotFound, "not a table"},
        KindCase{"Sequence", "CREATE SEQUENCE sq", "sq", kErrTableNotFound, "not a table"},
        KindCase{"CompositeType", "CREATE TYPE ct AS (a integer)", "ct", kErrTableNotFound,
                 "not a table"}),
    [](const auto& info) { return std::string(info.param.label); });

// The refusal shows a statement that, run as shown, gives the table a key
// that is no input; the name `id` is taken here, so it is another.
TEST_F(CatalogTest, WithoutKeyRefusalShowsStatementThatAddsOne) {
  conn().Exec(
      "CREATE TABLE \"No \"\"key\"\"\" (id text, a double precision, b double precision);"
      "INSERT INTO \"No \"\"key\"\"\" VALUES ('x', 1, 2), ('y', 3, 4)");
  const std::optional<Error> e =
      RaisedBy([&] { ResolveTable(conn().get(), "\"No \"\"key\"\"\""); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrInvalidOperation);
  const std::string& text = e->Description();
  const size_t from = text.find("ALTER TABLE");
  const size_t to = text.find(";\n", from);
  ASSERT_NE(from, std::string::npos) << text;
  ASSERT_NE(to, std::string::npos) << text;
  const std::string statement = text.substr(from, to - from);
  EXPECT_EQ(statement,
            "ALTER TABLE \"public\".\"No \"\"key\"\"\" ADD COLUMN id2 bigint GENERATED ALWAYS AS "
            "IDENTITY PRIMARY KEY");
  conn().Exec(statement);

  const ServerTable t = ResolveTable(conn().get(), "\"No \"\"key\"\"\"");
  ASSERT_EQ(t.columns.size(), 4u);
  EXPECT_EQ(t.key, std::vector<int>{3});
  EXPECT_EQ(InputColumns(t), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(Rows(conn(), KeyOrderSelect(t, InputColumns(t))),
            (std::vector<std::string>{"x|1|2", "y|3|4"}));
}

// Rows come in the order of the key's columns, not the table's; INCLUDE
// columns and dropped columns are no part of the key.
TEST_F(CatalogTest, CompositeKeyOrdersRowsAndIsNoInput) {
  conn().Exec(
      "CREATE TABLE t (a integer, gone integer, b text, c integer, d double precision, e real,"
      " PRIMARY KEY (c, a) INCLUDE (d));"
      "ALTER TABLE t DROP COLUMN gone;"
      "INSERT INTO t VALUES (1, 'r1', 2, 0.5, 1), (2, 'r2', 1, 1.5, 2), (0, 'r3', 2, 2.5, 3)");
  const ServerTable t = ResolveTable(conn().get(), "t");
  std::vector<std::string> names;
  for (const ServerColumn& c : t.columns) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(t.key, (std::vector<int>{2, 0}));
  EXPECT_TRUE(t.columns[0].in_key && t.columns[2].in_key);
  EXPECT_FALSE(t.columns[3].in_key);
  EXPECT_EQ(InputColumns(t), (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(Rows(conn(), KeyOrderSelect(t, InputColumns(t))),
            (std::vector<std::string>{"r2|1.5|2", "r3|2.5|3", "r1|0.5|1"}));
}

TEST_F(CatalogTest, NumericTypes) {
  conn().Exec(
      "CREATE DOMAIN positive AS integer CHECK (VALUE > 0); CREATE DOMAIN small AS positive;"
      "CREATE DOMAIN word AS text;"
      "CREATE TABLE t (id bigint PRIMARY KEY, s smallint, i integer, b bigint, r real,"
      " d double precision, n numeric(10,2), dm small, tx text, vc varchar(5), w word,"
      " bo boolean, m money, ts timestamp, o oid)");
  const ServerTable t = ResolveTable(conn().get(), "t");
  std::string numeric;
  for (const ServerColumn& c : t.columns) numeric += c.numeric ? 'y' : 'n';
  EXPECT_EQ(numeric, "yyyyyyyynnnnnnn");
  EXPECT_EQ(t.columns[6].type, "numeric(10,2)");
  EXPECT_EQ(t.columns[5].type, "double precision");
  EXPECT_EQ(t.columns[7].type, "small");
  EXPECT_EQ(t.columns[9].type, "character varying(5)");
}

// The flags say what the server then allows: each role tries both.
TEST_F(CatalogTest, PrivilegesMatchWhatTheServerAllows) {
  const std::string owners = Role("owners", "NOLOGIN");
  const std::string member = Role("member", "LOGIN IN ROLE " + owners);
  const std::string reader = Role("reader");
  const std::string writer = Role("writer");
  conn().Exec(Marked("t", "x") + "ALTER TABLE t OWNER TO " + owners + ";GRANT SELECT ON t TO " +
              reader + ";GRANT SELECT, UPDATE ON t TO " + writer);
  struct Expect {
    std::string role;
    bool alter, update;
  };
  for (const Expect& x : {Expect{"postgres", true, true}, Expect{member, true, true},
                          Expect{reader, false, false}, Expect{writer, false, true}}) {
    SCOPED_TRACE(x.role);
    const PgConn c = ConnectAs(x.role);
    const ServerTable t = ResolveTable(c.get(), "t");
    EXPECT_EQ(t.can_alter, x.alter);
    EXPECT_EQ(t.can_update, x.update);
    c.Exec("BEGIN");
    const PgResult update = c.Run("UPDATE " + RowSource(t) + " SET marker = 'y'");
    EXPECT_EQ(PQresultStatus(update.get()) == PGRES_COMMAND_OK, x.update);
    c.Exec("ROLLBACK; BEGIN");
    const PgResult alter = c.Run(AddActualStatement(t));
    EXPECT_EQ(PQresultStatus(alter.get()) == PGRES_COMMAND_OK, x.alter);
    if (!x.alter) {
      EXPECT_EQ(ErrorNumberForFailure(c.get(), alter.get()), kErrReadOnly);
    }
    c.Exec("ROLLBACK");
  }
}

// A session whose search path puts its own functions and operators before
// the server's: looking the table up and the statements built call none of
// them (each raises).
TEST_F(CatalogTest, RunsNoFunctionOfTheSearchPath) {
  conn().Exec(
      "CREATE TABLE t (id integer PRIMARY KEY, a double precision); INSERT INTO t VALUES (1, 2),"
      " (2, 5); CREATE SCHEMA evil;"
      "CREATE FUNCTION evil.boom() RETURNS void LANGUAGE plpgsql AS"
      " $$BEGIN RAISE EXCEPTION 'foreign code ran'; END$$;"
      "CREATE FUNCTION evil.quote_ident(text) RETURNS text LANGUAGE plpgsql AS"
      " $$BEGIN PERFORM evil.boom(); RETURN $1; END$$;"
      "CREATE FUNCTION evil.concat(text, text, text) RETURNS text LANGUAGE plpgsql AS"
      " $$BEGIN PERFORM evil.boom(); RETURN $1; END$$;"
      "CREATE FUNCTION evil.parse_ident(text, boolean DEFAULT true) RETURNS text[] LANGUAGE"
      " plpgsql AS $$BEGIN PERFORM evil.boom(); RETURN NULL; END$$;"
      "CREATE FUNCTION evil.to_regclass(text) RETURNS regclass LANGUAGE plpgsql AS"
      " $$BEGIN PERFORM evil.boom(); RETURN NULL; END$$;"
      "CREATE FUNCTION evil.format_type(oid, integer) RETURNS text LANGUAGE plpgsql AS"
      " $$BEGIN PERFORM evil.boom(); RETURN NULL; END$$;"
      "CREATE FUNCTION evil.eq(oid, oid) RETURNS boolean LANGUAGE plpgsql AS"
      " $$BEGIN PERFORM evil.boom(); RETURN true; END$$;"
      "CREATE OPERATOR evil.= (LEFTARG = oid, RIGHTARG = oid, FUNCTION = evil.eq);"
      "CREATE FUNCTION evil.step(double precision, double precision) RETURNS double precision"
      " LANGUAGE plpgsql AS $$BEGIN PERFORM evil.boom(); RETURN $2; END$$;"
      "CREATE AGGREGATE evil.min(double precision) (SFUNC = evil.step, STYPE = double precision);"
      "CREATE AGGREGATE evil.max(double precision) (SFUNC = evil.step, STYPE = double precision);"
      "SET search_path = evil, pg_catalog, public");
  const ServerTable t = ResolveTable(conn().get(), "t");
  EXPECT_EQ(t.schema, "public");
  EXPECT_EQ(t.key, std::vector<int>{0});
  EXPECT_EQ(t.columns[1].type, "double precision");
  EXPECT_EQ(Rows(conn(), RangeQuery(t, 1)), std::vector<std::string>{"2|5"});
  EXPECT_EQ(Rows(conn(), KeyOrderSelect(t, {1})), (std::vector<std::string>{"2", "5"}));
}

// Statements are built from the table found at first: a table of the same
// name that appears since in an earlier schema of the search path is not
// reached, and hostile column names stay names.
TEST_F(CatalogTest, StatementsReachTheResolvedTableOnly) {
  conn().Exec(
      "CREATE TABLE \"we\"\"ird; t\" (id integer PRIMARY KEY, \"a\"\"; DROP TABLE victim; --\""
      " double precision); INSERT INTO \"we\"\"ird; t\" VALUES (1, 3), (2, -1);");
  const ServerTable t = ResolveTable(conn().get(), "\"we\"\"ird; t\"");
  conn().Exec(
      "CREATE SCHEMA postgres; CREATE TABLE postgres.\"we\"\"ird; t\" (id integer PRIMARY KEY, "
      "\"a\"\"; DROP TABLE victim; --\" double precision); INSERT INTO postgres.\"we\"\"ird; t\""
      " VALUES (1, 100)");
  ASSERT_EQ(conn().Scalar("SELECT to_regclass('\"we\"\"ird; t\"')::oid::text"),
            conn().Scalar("SELECT 'postgres.\"we\"\"ird; t\"'::regclass::oid::text"));
  EXPECT_EQ(Rows(conn(), RangeQuery(t, 1)), std::vector<std::string>{"-1|3"});
  EXPECT_EQ(Rows(conn(), KeyOrderSelect(t, {0, 1})), (std::vector<std::string>{"1|3", "2|-1"}));
  conn().Exec(AddActualStatement(t));
  const ServerTable after = ResolveTable(conn().get(), "public.\"we\"\"ird; t\"");
  ASSERT_EQ(after.columns.size(), 3u);
  EXPECT_EQ(after.columns[2].name, "Actual");
  EXPECT_EQ(after.columns[2].type, "double precision");
  EXPECT_TRUE(VictimStands());
}

// An ordinary table's rows are its own, not those of tables inheriting from
// it; a partitioned table's are its partitions'.
TEST_F(CatalogTest, RowsOfInheritanceAndPartitions) {
  conn().Exec(Marked("parent", "parent") +
              "CREATE TABLE child () INHERITS (parent); INSERT INTO child VALUES (1, 'child');"
              "CREATE TABLE p (id integer PRIMARY KEY, marker text) PARTITION BY RANGE (id);"
              "CREATE TABLE p1 PARTITION OF p FOR VALUES FROM (0) TO (10);"
              "CREATE TABLE p2 PARTITION OF p FOR VALUES FROM (10) TO (20);"
              "INSERT INTO p VALUES (12, 'b'), (3, 'a')");
  const ServerTable parent = ResolveTable(conn().get(), "parent");
  EXPECT_EQ(Rows(conn(), KeyOrderSelect(parent, {1})), std::vector<std::string>{"parent"});
  EXPECT_EQ(Rows(conn(), RangeQuery(parent, 1)), std::vector<std::string>{"parent|parent"});

  const ServerTable p = ResolveTable(conn().get(), "p");
  EXPECT_EQ(p.relkind, 'p');
  EXPECT_EQ(Rows(conn(), KeyOrderSelect(p, {1})), (std::vector<std::string>{"a", "b"}));
  conn().Exec(AddActualStatement(p));
  EXPECT_EQ(conn().Scalar("SELECT count(*) FROM information_schema.columns WHERE column_name = "
                          "'Actual' AND table_name IN ('p', 'p1', 'p2')"),
            "3");
}

}  // namespace
}  // namespace kelda::data::postgres
