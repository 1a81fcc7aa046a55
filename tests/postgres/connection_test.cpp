// One connection to a real server: opening it (passwords never shown), the
// one check path, lock waits, interrupts, a dropped connection, pipelines.
#include "data/postgres/connection.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/error.h"
#include "support/number_text.h"
#include "support/pg_server.h"
#include "support/raised.h"

namespace kelda::data::postgres {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using test::PgConn;
using test::PgServer;
using test::RaisedBy;

constexpr int kRows = 1000;
constexpr const char* kSecret = "Hidden-Pw-5c2e";

// Neither the text nor the description of `e` holds `secret`.
void ExpectHidden(const Error& e, std::string_view secret) {
  EXPECT_EQ(std::string(e.what()).find(secret), std::string::npos) << e.what();
  EXPECT_EQ(e.Description().find(secret), std::string::npos) << e.Description();
}

// Sets an environment variable for the scope.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
  ~EnvVar() { ::unsetenv(name_); }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* name_;
};

// Each test on one cluster, a table t(id, a) with kRows rows, a = 0, made
// afresh.
class ConnectionTest : public test::PgServerTest {
 protected:
  void SetUp() override {
    PgServerTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    server().Exec(
        "DROP TABLE IF EXISTS t; CREATE TABLE t (id integer PRIMARY KEY, a double precision);"
        "INSERT INTO t SELECT i, 0 FROM generate_series(1, " +
        std::to_string(kRows) + ") i; GRANT ALL ON t TO " + PgServer::kPasswordUser);
  }

  Connection Open(milliseconds busy = milliseconds(2000), InterruptCheck interrupt = {}) const {
    return Connection::Open(server().Uri(), busy, std::move(interrupt));
  }

  std::string Scalar(const std::string& sql) const { return PgConn(server().Uri()).Scalar(sql); }

  static std::string ScalarOf(Connection& conn, const std::string& sql) {
    const Result r = conn.Exec(sql, "reading");
    return PQgetvalue(r.get(), 0, 0);
  }
};

// ---- Opening ---------------------------------------------------------------

struct OpenCase {
  const char* label;
  std::function<std::string(const PgServer&)> name;
  int32_t number;  // 0: opens
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.label; }

class OpenTest : public ConnectionTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenTest, OpensOrFailsWithoutShowingThePassword) {
  const std::string name = GetParam().name(server());
  const std::optional<Error> e = RaisedBy([&] {
    Connection conn = Connection::Open(name, milliseconds(1000), {});
    EXPECT_EQ(ScalarOf(conn, "SELECT current_database()"), PgServer::kDatabase);
    EXPECT_EQ(ScalarOf(conn, "SHOW application_name"), "kelda");
    EXPECT_EQ(ScalarOf(conn, "SHOW lock_timeout"), "1s");
  });
  ASSERT_EQ(e ? e->Number() : 0, GetParam().number) << (e ? e->Description() : "opened");
  if (!e) return;
  ExpectHidden(*e, kSecret);
  ExpectHidden(*e, PgServer::kPassword);
  EXPECT_NE(e->Description().find("server postgres"), std::string::npos) << e->Description();
}

std::string UpperScheme(const PgServer& s) { return "POSTGRESQL" + s.Uri().substr(10); }
std::string ShortScheme(const PgServer& s) {
  return "Postgres://" + s.Uri().substr(std::strlen("postgresql://"));
}

INSTANTIATE_TEST_SUITE_P(
    Names, OpenTest,
    ::testing::Values(
        OpenCase{"Trusted", [](const PgServer& s) { return s.Uri(); }, 0},
        OpenCase{"UpperCaseScheme", UpperScheme, 0},
        OpenCase{"ShortMixedCaseScheme", ShortScheme, 0},
        OpenCase{
            "RightPassword",
            [](const PgServer& s) { return s.Uri(PgServer::kPasswordUser, PgServer::kPassword); },
            0},
        OpenCase{"WrongPassword",
                 [](const PgServer& s) { return s.Uri(PgServer::kPasswordUser, kSecret); }, 3151},
        OpenCase{"NoSuchDatabase",
                 [](const PgServer& s) { return s.Uri("postgres", kSecret, "nope"); }, 3151},
        OpenCase{"UnreachableSocket",
                 [](const PgServer&) {
                   return std::string("postgresql:///kelda?host=/nonexistent-kelda-dir&password=") +
                          kSecret;
                 },
                 3151},
        // libpq quotes the whole of a name it cannot read, password and all.
        OpenCase{"MalformedNameQuoted",
                 [](const PgServer&) {
                   return std::string("postgresql://kelda_pw:") + kSecret + "@[::1/kelda";
                 },
                 3151},
        OpenCase{"BadPercentEncoding",
                 [](const PgServer&) {
                   return std::string("postgresql:///kelda?host=/tmp&password=") + kSecret + "%zz";
                 },
                 3151},
        // A '/' in a raw password leaves its first part read as a port.
        OpenCase{"PasswordPartReadAsPort",
                 [](const PgServer&) {
                   return std::string("postgresql://kelda_pw:") + kSecret + "/x@localhost/kelda";
                 },
                 3151}));

TEST_F(ConnectionTest, PasswordFromTheEnvironment) {
  {
    const EnvVar password("PGPASSWORD", PgServer::kPassword);
    Connection conn =
        Connection::Open(server().Uri(PgServer::kPasswordUser), milliseconds(1000), {});
    EXPECT_EQ(ScalarOf(conn, "SELECT current_user"), PgServer::kPasswordUser);
  }
  const EnvVar password("PGPASSWORD", kSecret);
  const std::optional<Error> e = RaisedBy(
      [&] { Connection::Open(server().Uri(PgServer::kPasswordUser), milliseconds(1000), {}); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), 3151);
  ExpectHidden(*e, kSecret);
}

// ---- The check path --------------------------------------------------------

struct FailureCase {
  const char* label;
  const char* sql;
  int32_t number;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class FailureTest : public ConnectionTest, public ::testing::WithParamInterface<FailureCase> {};

// Each failure has its number, a text naming the server with its password
// masked and what was being done, and leaves the connection usable.
TEST_P(FailureTest, RaisesThroughTheCheckPath) {
  Connection conn = Connection::Open(server().Uri(PgServer::kPasswordUser, PgServer::kPassword),
                                     milliseconds(1000), {});
  const std::optional<Error> e = RaisedBy([&] { conn.Exec(GetParam().sql, "reading t"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), GetParam().number) << e->Description();
  EXPECT_NE(e->Description().find("reading t"), std::string::npos) << e->Description();
  EXPECT_NE(e->Description().find("password=***"), std::string::npos) << e->Description();
  ExpectHidden(*e, PgServer::kPassword);
  EXPECT_EQ(ScalarOf(conn, "SELECT 1"), "1");
}

INSTANTIATE_TEST_SUITE_P(
    Statements, FailureTest,
    ::testing::Values(FailureCase{"UnknownTable", "SELECT * FROM nope", 3078},
                      FailureCase{"UnknownColumn", "SELECT nope FROM t", 3061},
                      FailureCase{"Syntax", "SELEC 1", 3075},
                      FailureCase{"NotANumber", "UPDATE t SET a = 'x' WHERE id = 1", 13},
                      FailureCase{"DuplicateKey", "INSERT INTO t VALUES (1, 0)", 3000},
                      // The first failure of several statements, the rest not run.
                      FailureCase{"SecondOfThree",
                                  "UPDATE t SET a = 9 WHERE id = 1; SELECT * FROM nope; "
                                  "UPDATE t SET a = 9 WHERE id = 2",
                                  3078}));

// Doubles go to the server and come back to the last bit, in text and in
// binary form.
TEST_F(ConnectionTest, PreparedStatementsKeepEveryBit) {
  Connection conn = Open();
  conn.Prepare("set_a", "UPDATE t SET a = $1 WHERE id = $2", 2, "preparing");
  conn.Prepare("get_a", "SELECT a FROM t WHERE id = $1", 1, "preparing");
  const double value = 0.1 + 0.2;
  const std::vector<Param> set = {test::Text(value), "7"};
  const Result updated = conn.ExecPrepared("set_a", set, "writing");
  EXPECT_STREQ(PQcmdTuples(updated.get()), "1");

  const std::vector<Param> key = {"7"};
  const Result text = conn.ExecPrepared("get_a", key, "reading");
  EXPECT_EQ(std::bit_cast<uint64_t>(std::strtod(PQgetvalue(text.get(), 0, 0), nullptr)),
            std::bit_cast<uint64_t>(value));
  const Result binary = conn.ExecPrepared("get_a", key, "reading", Format::kBinary);
  ASSERT_EQ(PQgetlength(binary.get(), 0, 0), 8);
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    bits = bits << 8 | static_cast<unsigned char>(PQgetvalue(binary.get(), 0, 0)[i]);
  }
  EXPECT_EQ(bits, std::bit_cast<uint64_t>(value));

  const std::vector<Param> null_value = {std::nullopt, "8"};
  conn.ExecPrepared("set_a", null_value, "writing");
  EXPECT_EQ(Scalar("SELECT a IS NULL FROM t WHERE id = 8"), "t");
}

// ---- Waiting and stopping --------------------------------------------------

// A row lock held by another session gives 3218 after about the busy
// timeout; a timeout of 0 still gives up rather than waiting for ever.
TEST_F(ConnectionTest, RowLockGivesUpAfterTheBusyTimeout) {
  const PgConn holder(server().Uri());
  holder.Exec("BEGIN; UPDATE t SET a = 1 WHERE id = 1");
  for (const int ms : {300, 0}) {
    // Stops a wait that never ends, so that the test fails instead of hanging.
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(10);
    Connection conn = Open(milliseconds(ms), [&] { return Clock::now() > limit; });
    const Clock::time_point start = Clock::now();
    const std::optional<Error> e =
        RaisedBy([&] { conn.Exec("UPDATE t SET a = 2 WHERE id = 1", "writing"); });
    const auto waited = Clock::now() - start;
    ASSERT_TRUE(e) << ms;
    EXPECT_EQ(e->Number(), 3218) << e->Description();
    EXPECT_GE(waited, milliseconds(ms * 9 / 10));
    EXPECT_LT(waited, milliseconds(ms + 3000));
  }
  holder.Exec("ROLLBACK");
}

// An interrupt cancels the statement on the server: 18 (not the 3218 of a
// timeout) within a moment, the server no longer running it, the connection
// usable.
TEST_F(ConnectionTest, InterruptCancelsTheStatement) {
  Clock::time_point stop_at = Clock::now() + milliseconds(200);
  Connection conn = Open(milliseconds(1000), [&] { return Clock::now() >= stop_at; });
  const Clock::time_point start = Clock::now();
  const std::optional<Error> e = RaisedBy([&] { conn.Exec("SELECT pg_sleep(30)", "reading"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), 18) << e->Description();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(Scalar("SELECT count(*) FROM pg_stat_activity WHERE state = 'active' "
                   "AND query LIKE 'SELECT pg_sleep%'"),
            "0");
  stop_at = Clock::time_point::max();
  EXPECT_EQ(ScalarOf(conn, "SELECT 1"), "1");
}

// A connection ended by the server is 3151 at its next use, and after.
TEST_F(ConnectionTest, TerminatedConnectionIsLost) {
  Connection conn = Open();
  const std::string pid = ScalarOf(conn, "SELECT pg_backend_pid()");
  ASSERT_EQ(Scalar("SELECT pg_terminate_backend(" + pid + ", 5000)"), "t");
  for (int i = 0; i < 2; ++i) {
    const std::optional<Error> e = RaisedBy([&] { conn.Exec("SELECT 1", "reading"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Number(), 3151) << e->Description();
    EXPECT_NE(e->Description().find(server().dir()), std::string::npos) << e->Description();
  }
}

// ---- Pipelines -------------------------------------------------------------

class PipelineTest : public ConnectionTest {
 protected:
  void SetUp() override {
    ConnectionTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    conn_.emplace(Open(milliseconds(1000), [this] { return Clock::now() >= stop_at_; }));
    conn_->Prepare("set_a", "UPDATE t SET a = $1 WHERE id = $2", 2, "preparing");
  }

  // Queues kRows updates: row i gets `value`, or `bad` at row `bad_row`.
  void QueueAll(Pipeline& p, const std::string& value, int bad_row = 0,
                const std::string& bad = {}) {
    for (int i = 1; i <= kRows; ++i) {
      const std::vector<Param> params = {i == bad_row ? bad : value, std::to_string(i)};
      p.Queue("set_a", params);
    }
  }

  std::string Changed() const { return Scalar("SELECT count(*) FROM t WHERE a <> 0"); }
  // The connection is out of pipeline mode and in no transaction.
  void ExpectUsable() {
    EXPECT_EQ(ScalarOf(*conn_, "SELECT 1"), "1");
    EXPECT_EQ(PQtransactionStatus(conn_->get()), PQTRANS_IDLE);
  }

  std::optional<Connection> conn_;
  Clock::time_point stop_at_ = Clock::time_point::max();
};

TEST_F(PipelineTest, WritesEveryRowInOneTransaction) {
  Pipeline p(*conn_, "writing");
  QueueAll(p, "2.5");
  const std::vector<int64_t> affected = p.Run();
  EXPECT_EQ(affected, std::vector<int64_t>(kRows, 1));
  EXPECT_EQ(Scalar("SELECT count(*) FROM t WHERE a = 2.5"), std::to_string(kRows));
  EXPECT_EQ(Scalar("SELECT count(DISTINCT xmin::text) FROM t"), "1");
  ExpectUsable();
}

// A failing statement, an interrupt and a pipeline never run all leave every
// row as it was.
TEST_F(PipelineTest, FailureLeavesEveryRowUnchanged) {
  {
    Pipeline p(*conn_, "writing");
    QueueAll(p, "3", 500, "not a number");
    const std::optional<Error> e = RaisedBy([&] { p.Run(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Number(), 13) << e->Description();
  }
  EXPECT_EQ(Changed(), "0");
  ExpectUsable();
}

TEST_F(PipelineTest, InterruptLeavesEveryRowUnchanged) {
  conn_->Prepare("sleep", "SELECT pg_sleep($1)", 1, "preparing");
  {
    Pipeline p(*conn_, "writing");
    QueueAll(p, "4");
    const std::vector<Param> seconds = {"30"};
    p.Queue("sleep", seconds);
    stop_at_ = Clock::now() + milliseconds(200);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(test::ErrorNumberOf([&] { p.Run(); }), 18);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  }
  stop_at_ = Clock::time_point::max();
  EXPECT_EQ(Changed(), "0");
  ExpectUsable();
}

TEST_F(PipelineTest, NotRunLeavesEveryRowUnchanged) {
  {
    Pipeline p(*conn_, "writing");
    QueueAll(p, "5");
  }
  EXPECT_EQ(Changed(), "0");
  ExpectUsable();
}

}  // namespace
}  // namespace kelda::data::postgres
