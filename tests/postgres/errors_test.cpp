// The server's failures as registry numbers: the SQLSTATE table, and each
// failure a run can meet provoked for real on a throwaway server.
#include "data/postgres/errors.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <ostream>
#include <string>

#include "base/error.h"
#include "support/pg_server.h"

namespace kelda::data::postgres {
namespace {

using test::PgConn;
using test::PgResult;
using test::PgServer;

struct StateCase {
  const char* sqlstate;
  int32_t number;
};

void PrintTo(const StateCase& c, std::ostream* os) { *os << "'" << c.sqlstate << "'"; }

class SqlStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(SqlStateTest, MapsToRegistryNumber) {
  EXPECT_EQ(ErrorNumberForSqlState(GetParam().sqlstate), GetParam().number)
      << "'" << GetParam().sqlstate << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Table, SqlStateTest,
    ::testing::Values(StateCase{"42P01", 3078}, StateCase{"42703", 3061}, StateCase{"42701", 3191},
                      StateCase{"42501", 3027}, StateCase{"25006", 3027}, StateCase{"55P03", 3218},
                      StateCase{"57014", 3218}, StateCase{"40P01", 3218}, StateCase{"40001", 3218},
                      StateCase{"22P02", 13}, StateCase{"22003", 3421}, StateCase{"23502", 3421},
                      StateCase{"23514", 3421}, StateCase{"23505", 3000}, StateCase{"23503", 3000},
                      StateCase{"42601", 3075}, StateCase{"53100", 3026}, StateCase{"53200", 7},
                      StateCase{"58030", 3043}, StateCase{"XX001", 3049},
                      // Whole classes: connection and authorization.
                      StateCase{"08000", 3151}, StateCase{"08006", 3151}, StateCase{"08P01", 3151},
                      StateCase{"28P01", 3151}, StateCase{"3D000", 3151}, StateCase{"57P01", 3151},
                      StateCase{"57P03", 3151},
                      // Anything else, and what is no SQLSTATE at all.
                      StateCase{"42P07", 3000}, StateCase{"XX000", 3000}, StateCase{"", 3000},
                      StateCase{"08", 3000}, StateCase{"42P01 ", 3000}, StateCase{"42p01", 3000}));

// Each test on one cluster, a table t(id, a) with two rows made afresh.
class ServerErrorTest : public test::PgServerTest {
 protected:
  void SetUp() override {
    PgServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    server().Exec(
        "DROP TABLE IF EXISTS t; CREATE TABLE t (id integer PRIMARY KEY, a double precision);"
        "INSERT INTO t VALUES (1, 0), (2, 0)");
  }

  PgConn Connect() const { return PgConn(server().Uri()); }

  // The number for running `sql` on `conn`, which must fail.
  static int32_t NumberOf(const PgConn& conn, const std::string& sql) {
    const PgResult r = conn.Run(sql);
    const ExecStatusType status = PQresultStatus(r.get());
    EXPECT_TRUE(status == PGRES_FATAL_ERROR || r == nullptr) << sql << " did not fail";
    return ErrorNumberForFailure(conn.get(), r.get());
  }
};

struct StatementCase {
  const char* label;
  const char* sql;
  int32_t number;
};

void PrintTo(const StatementCase& c, std::ostream* os) { *os << c.label; }

class ServerStatementTest : public ServerErrorTest,
                            public ::testing::WithParamInterface<StatementCase> {};

TEST_P(ServerStatementTest, FailsWithItsNumber) {
  const PgConn conn = Connect();
  EXPECT_EQ(NumberOf(conn, GetParam().sql), GetParam().number);
  // The connection is still usable afterwards.
  EXPECT_EQ(conn.Scalar("SELECT 1"), "1");
}

INSTANTIATE_TEST_SUITE_P(
    Provoked, ServerStatementTest,
    ::testing::Values(
        StatementCase{"UnknownTable", "SELECT * FROM missing", kErrTableNotFound},
        StatementCase{"UnknownColumn", "SELECT b FROM t", kErrNoSuchColumn},
        StatementCase{"UnknownColumnInUpdate", "UPDATE t SET b = 1", kErrNoSuchColumn},
        StatementCase{"ColumnExists", "ALTER TABLE t ADD COLUMN a double precision",
                      kErrFieldExists},
        StatementCase{"NumberText", "UPDATE t SET a = 'abc'", kErrTypeMismatch},
        StatementCase{"NumberCast", "SELECT 'x1'::double precision", kErrTypeMismatch},
        StatementCase{"StatementTimeout", "SET statement_timeout = '50ms'; SELECT pg_sleep(10)",
                      kErrLocked},
        StatementCase{"NotNull", "INSERT INTO t VALUES (NULL, 1)", kErrConversion},
        StatementCase{"Syntax", "SELEC 1", kErrSyntax},
        StatementCase{"DuplicateKey", "INSERT INTO t VALUES (1, 1)", kErrDatabase}),
    [](const ::testing::TestParamInfo<StatementCase>& info) { return info.param.label; });

// A role without the privilege, and a session that may only read.
TEST_F(ServerErrorTest, NoRightToWrite) {
  server().Exec(
      "DROP ROLE IF EXISTS reader; CREATE ROLE reader LOGIN; GRANT SELECT ON t TO reader");
  const PgConn reader(server().Uri("reader"));
  EXPECT_EQ(reader.Scalar("SELECT count(*) FROM t"), "2");
  EXPECT_EQ(NumberOf(reader, "UPDATE t SET a = 1"), kErrReadOnly);
  EXPECT_EQ(NumberOf(reader, "ALTER TABLE t ADD COLUMN b double precision"), kErrReadOnly);

  const PgConn read_only = Connect();
  read_only.Exec("SET default_transaction_read_only = on");
  EXPECT_EQ(NumberOf(read_only, "UPDATE t SET a = 1"), kErrReadOnly);
}

TEST_F(ServerErrorTest, LockTimeoutOnARowAnotherConnectionHolds) {
  const PgConn holder = Connect();
  holder.Exec("BEGIN; SELECT * FROM t WHERE id = 1 FOR UPDATE");
  const PgConn waiter = Connect();
  waiter.Exec("SET lock_timeout = '100ms'");
  EXPECT_EQ(NumberOf(waiter, "UPDATE t SET a = 2 WHERE id = 1"), kErrLocked);
  // The other row is free.
  waiter.Exec("UPDATE t SET a = 2 WHERE id = 2");
  holder.Exec("ROLLBACK");
}

TEST_F(ServerErrorTest, DeadlockBetweenTwoConnections) {
  const PgConn first = Connect();
  const PgConn second = Connect();
  first.Exec("BEGIN; UPDATE t SET a = 1 WHERE id = 1");
  second.Exec("BEGIN; UPDATE t SET a = 1 WHERE id = 2");
  // The first waits for the second's row while the second asks for the first's.
  ASSERT_EQ(PQsendQuery(first.get(), "UPDATE t SET a = 2 WHERE id = 2"), 1);
  const PgResult second_result = second.Run("UPDATE t SET a = 2 WHERE id = 1");
  PgResult first_result(PQgetResult(first.get()), &PQclear);
  while (PGresult* more = PQgetResult(first.get())) PQclear(more);
  // The server breaks the cycle by failing exactly one of them.
  const bool first_failed = PQresultStatus(first_result.get()) == PGRES_FATAL_ERROR;
  const bool second_failed = PQresultStatus(second_result.get()) == PGRES_FATAL_ERROR;
  ASSERT_NE(first_failed, second_failed);
  const PgConn& victim = first_failed ? first : second;
  const PGresult* failure = first_failed ? first_result.get() : second_result.get();
  EXPECT_STREQ(PQresultErrorField(failure, PG_DIAG_SQLSTATE), "40P01");
  EXPECT_EQ(ErrorNumberForFailure(victim.get(), failure), kErrLocked);
  first.Exec("ROLLBACK");
  second.Exec("ROLLBACK");
}

TEST_F(ServerErrorTest, SerializationFailure) {
  const PgConn reader = Connect();
  reader.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ; SELECT * FROM t");
  Connect().Exec("UPDATE t SET a = 5 WHERE id = 1");
  EXPECT_EQ(NumberOf(reader, "UPDATE t SET a = 6 WHERE id = 1"), kErrLocked);
  reader.Exec("ROLLBACK");
}

TEST_F(ServerErrorTest, TerminatedConnection) {
  const PgConn victim = Connect();
  const std::string pid = std::to_string(PQbackendPID(victim.get()));
  ASSERT_EQ(Connect().Scalar("SELECT pg_terminate_backend(" + pid + ", 5000)"), "t");
  EXPECT_EQ(NumberOf(victim, "SELECT 1"), kErrConnectionFailed);
  EXPECT_EQ(PQstatus(victim.get()), CONNECTION_BAD);
}

// Connections that cannot be made: there is no result, only the connection.
TEST_F(ServerErrorTest, ConnectionsThatFail) {
  const auto number_for = [](const std::string& uri) {
    PGconn* conn = PQconnectdb(uri.c_str());
    EXPECT_EQ(PQstatus(conn), CONNECTION_BAD) << uri;
    const int32_t number = ErrorNumberForFailure(conn, nullptr);
    PQfinish(conn);
    return number;
  };
  const std::string empty_folder = server().dir() + "/nothing";
  EXPECT_EQ(number_for("postgresql:///kelda?host=" + empty_folder), kErrConnectionFailed);
  EXPECT_EQ(number_for(server().Uri(PgServer::kPasswordUser, "wrong")), kErrConnectionFailed);
  EXPECT_EQ(number_for(server().Uri("postgres", {}, "no_such_db")), kErrConnectionFailed);
  // The password role does get in with its password.
  const PgConn in(server().Uri(PgServer::kPasswordUser, PgServer::kPassword));
  EXPECT_EQ(in.Scalar("SELECT current_user"), PgServer::kPasswordUser);
}

}  // namespace
}  // namespace kelda::data::postgres
