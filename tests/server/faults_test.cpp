// A run on a server table under faults: the server stopped, the session
// killed, the table dropped or restructured while the run uses it, names and
// roles that cannot work, and hostile table names. Each ends with its number
// and a text that never shows the password, and the table holds its old
// values or whole writes.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <tuple>

#include "server/server_run.h"
#include "support/process.h"

namespace kelda::test {
namespace {

class ServerFaultTest : public PgServerTest {
 protected:
  // A fresh training table owned by the password role, which the runs here
  // connect as.
  std::string NewTable(const std::string& stem) {
    const std::string name = FreshName(stem);
    server().Exec(TableSql(name) + "; ALTER TABLE " + name + " OWNER TO " +
                  PgServer::kPasswordUser);
    return name;
  }
  std::string PasswordUri() const {
    return server().Uri(PgServer::kPasswordUser, PgServer::kPassword);
  }
  RunOptions Options(const std::string& table) const {
    RunOptions o;
    o.uri = PasswordUri();
    o.table = table;
    return o;
  }
  static void ExpectNoPassword(const std::string& text) {
    EXPECT_EQ(text.find(PgServer::kPassword), std::string::npos) << text;
  }
};

// ---- Faults in mid-run -------------------------------------------------------

enum class Fault { kStopFast, kStopImmediate, kTerminate, kDrop, kAddColumn };

const char* Name(Fault f) {
  switch (f) {
    case Fault::kStopFast:
      return "StopFast";
    case Fault::kStopImmediate:
      return "StopImmediate";
    case Fault::kTerminate:
      return "Terminate";
    case Fault::kDrop:
      return "Drop";
    case Fault::kAddColumn:
      return "AddColumn";
  }
  return "?";
}

class MidRunFaultTest : public ServerFaultTest,
                        public ::testing::WithParamInterface<std::tuple<Fault, Moment>> {};

INSTANTIATE_TEST_SUITE_P(
    Faults, MidRunFaultTest,
    ::testing::Combine(::testing::Values(Fault::kStopFast, Fault::kStopImmediate, Fault::kTerminate,
                                         Fault::kDrop, Fault::kAddColumn),
                       ::testing::Values(Moment::kReport, Moment::kWriteBack)),
    [](const ::testing::TestParamInfo<std::tuple<Fault, Moment>>& info) {
      return std::string(Name(std::get<0>(info.param))) + Name(std::get<1>(info.param));
    });

// The run ends with the fault's number; every row holds its value from
// before the epoch (or the write-back) or the whole value that wrote it,
// the rows written before the fault all there.
TEST_P(MidRunFaultTest, EndsWithItsNumberAndWholeRows) {
  const auto [fault, moment] = GetParam();
  const Reference& ref = SharedReference(server());
  const std::string t = NewTable("t");
  std::future<void> alter;
  RunOptions o = Options(t);
  o.commit_window = std::chrono::milliseconds(0);  // each row its own commit
  const RunOutcome r = RunActingAt(server(), moment, o, [&] {
    switch (fault) {
      case Fault::kStopFast:
      case Fault::kStopImmediate:
        server().Halt(fault == Fault::kStopImmediate);
        break;
      case Fault::kTerminate:
        server().Exec(
            "SELECT pg_catalog.pg_terminate_backend(pid) FROM pg_catalog.pg_stat_activity "
            "WHERE usename = '" +
            std::string(PgServer::kPasswordUser) + "'");
        break;
      case Fault::kDrop:
      case Fault::kAddColumn: {
        const std::string sql = fault == Fault::kDrop
                                    ? "DROP TABLE " + t
                                    : "ALTER TABLE " + t + " ADD COLUMN z double precision";
        // During the write-back the row lock that holds it also holds the
        // table: the change waits for it, and for the row being written.
        if (moment == Moment::kWriteBack) {
          alter = std::async(std::launch::async, [this, sql] { server().Exec(sql); });
          // Until the change waits for its lock: it then comes before the
          // run's next statement.
          PgConn probe(server().Uri());
          while (probe.Scalar("SELECT count(*) FROM pg_catalog.pg_locks WHERE NOT granted AND "
                              "mode = 'AccessExclusiveLock'") == "0") {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
        } else {
          server().Exec(sql);
        }
        break;
      }
    }
  });
  if (alter.valid()) alter.get();
  if (fault == Fault::kStopFast || fault == Fault::kStopImmediate) server().Resume();

  const int expected = fault == Fault::kDrop ? 3078 : fault == Fault::kAddColumn ? 3197 : 3151;
  EXPECT_EQ(r.number, expected) << r.text;
  ExpectNoPassword(r.text);
  if (fault == Fault::kDrop) return;
  PgConn conn(server().Uri());
  const bool write_back = moment == Moment::kWriteBack;
  const Column& before = ref.before.at(write_back ? kEpochs : 10);
  const Column& after = write_back ? ref.final : ref.before.at(11);
  int written = -1;
  EXPECT_EQ(OldOrWhole(before, after, ReadColumn(conn, t), &written), "");
  // What was committed before the fault stays; the change of the table may
  // come after the row the write-back waited at.
  if (fault == Fault::kAddColumn && write_back) {
    EXPECT_GE(written, kStallRow - 1);
  } else {
    EXPECT_EQ(written, write_back ? kStallRow - 1 : kActedAfter);
  }
}

// ---- Names and roles that cannot work ----------------------------------------

enum class BadName { kWrongPassword, kNoSocket, kNoDatabase };

class BadConnectionTest : public ServerFaultTest, public ::testing::WithParamInterface<BadName> {};

INSTANTIATE_TEST_SUITE_P(Names, BadConnectionTest,
                         ::testing::Values(BadName::kWrongPassword, BadName::kNoSocket,
                                           BadName::kNoDatabase),
                         [](const ::testing::TestParamInfo<BadName>& info) {
                           switch (info.param) {
                             case BadName::kWrongPassword:
                               return "WrongPassword";
                             case BadName::kNoSocket:
                               return "NoSocket";
                             case BadName::kNoDatabase:
                               return "NoDatabase";
                           }
                           return "?";
                         });

// The tool ends with 3151 and shows neither the password given nor the
// right one; --json prints no report.
TEST_P(BadConnectionTest, ToolEndsWith3151AndNoPassword) {
  const std::string t = NewTable("t");
  std::string uri;
  switch (GetParam()) {
    case BadName::kWrongPassword:
      // The right password with more after it: a mask of the right one
      // alone would leave the rest, and a mask of nothing would show both.
      uri = server().Uri(PgServer::kPasswordUser, std::string(PgServer::kPassword) + "-x");
      break;
    case BadName::kNoSocket:
      uri = "postgresql:///kelda?host=" + server().dir() +
            "/none&port=5432&user=" + PgServer::kPasswordUser + "&password=" + PgServer::kPassword;
      break;
    case BadName::kNoDatabase:
      uri = server().Uri(PgServer::kPasswordUser, PgServer::kPassword, "no_such_db");
      break;
  }
  const ProcessResult r = RunProcess(KELDA_BINARY, {"train", uri, t, "--epochs", "3", "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("kelda: error 3151: ", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  ExpectNoPassword(r.out + r.err);
  PgConn conn(server().Uri());
  EXPECT_EQ(conn.Scalar("SELECT count(*) FROM " + t + " WHERE \"Actual\" <> -1"), "0");
}

// A role that may read the table but not write it (nor, without `Actual`,
// add the column) is refused with 3027 naming what it lacks, before any
// epoch, the table as it was.
class ReadOnlyRoleTest : public ServerFaultTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Tables, ReadOnlyRoleTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "WithActual" : "WithoutActual";
                         });

TEST_P(ReadOnlyRoleTest, RefusedWith3027BeforeTraining) {
  const bool with_actual = GetParam();
  const std::string t = FreshName("t");
  server().Exec(TableSql(t) +
                (with_actual ? "" : "; ALTER TABLE " + t + " DROP COLUMN \"Actual\"") +
                "; GRANT SELECT ON " + t + " TO " + PgServer::kPasswordUser);
  PgConn conn(server().Uri());
  const Column y = ReadColumn(conn, t, "y");
  RunOptions o = Options(t);
  int32_t last_epoch = 0;
  o.at = [&](Point p) { last_epoch = p.epoch; };
  const RunOutcome r = RunInProcess(o);
  EXPECT_EQ(r.number, 3027) << r.text;
  // The role lacks UPDATE either way, which the text names.
  EXPECT_NE(r.text.find("UPDATE"), std::string::npos) << r.text;
  ExpectNoPassword(r.text);
  EXPECT_EQ(last_epoch, 0) << "the run trained before it was refused";
  EXPECT_EQ(Differences(y, ReadColumn(conn, t, "y")), "");
  if (with_actual) {
    EXPECT_EQ(conn.Scalar("SELECT count(*) FROM " + t + " WHERE \"Actual\" <> -1"), "0");
  }
}

// ---- Hostile names -----------------------------------------------------------

struct HostileName {
  const char* label;
  const char* create;   // makes the table a name reaches; "" for none
  std::string name;     // as the host gives it
  const char* trained;  // the table that must hold the predictions; "" when refused
};

void PrintTo(const HostileName& h, std::ostream* os) { *os << h.label; }

class HostileNameTest : public ServerFaultTest,
                        public ::testing::WithParamInterface<HostileName> {};

INSTANTIATE_TEST_SUITE_P(
    Names, HostileNameTest,
    ::testing::Values(
        HostileName{"QuoteAndSemicolon", "\"x\"\"; DROP TABLE canary; --\"",
                    "\"x\"\"; DROP TABLE canary; --\"", "\"x\"\"; DROP TABLE canary; --\""},
        HostileName{"StatementAfterName", "", "decoy; DROP TABLE canary", ""},
        HostileName{"QuotedStatement", "", "decoy' OR '1'='1", ""},
        HostileName{"CommentAfterName", "", "decoy -- x", ""},
        HostileName{"SchemaWithSemicolon", "\"s;x\".decoy", "\"s;x\".decoy", "\"s;x\".decoy"},
        HostileName{"SchemaStatement", "", "public.decoy; DROP TABLE canary", ""},
        HostileName{"ThreeParts", "", "kelda.public.decoy", ""},
        HostileName{"TempSchema", "", "pg_temp.decoy", ""},
        HostileName{"NulInName", "", std::string("decoy\0; DROP TABLE canary", 25), ""}),
    [](const ::testing::TestParamInfo<HostileName>& info) { return info.param.label; });

// No statement of the name runs (the canary lives), and only the table the
// name reaches is written: the decoy public.decoy keeps its values.
TEST_P(HostileNameTest, OnlyTheNamedTableIsTouched) {
  const HostileName& h = GetParam();
  const Reference& ref = SharedReference(server());
  server().Exec(
      "DROP SCHEMA IF EXISTS \"s;x\" CASCADE; CREATE SCHEMA \"s;x\"; "
      "DROP TABLE IF EXISTS canary, decoy, \"x\"\"; DROP TABLE canary; --\";"
      "CREATE TABLE canary (n int); " +
      TableSql("decoy"));
  if (*h.create != '\0') server().Exec(TableSql(h.create));
  PgConn conn(server().Uri());
  const Column decoy = ReadColumn(conn, "decoy");

  RunOptions o;
  o.uri = server().Uri();
  o.table = h.name;
  const RunOutcome r = RunInProcess(o);
  EXPECT_EQ(r.number, *h.trained != '\0' ? 0 : 3078) << r.text;
  EXPECT_EQ(conn.Scalar("SELECT pg_catalog.to_regclass('public.canary') IS NOT NULL"), "t");
  EXPECT_EQ(Differences(decoy, ReadColumn(conn, "decoy")), "");
  if (*h.trained != '\0') {
    EXPECT_EQ(Differences(ref.final, ReadColumn(conn, h.trained)), "");
  }
}

// A table of the same name made, mid-run, in a schema the search path
// names first: the run keeps to the table it resolved when it began, its
// final write-back included, and never touches the newcomer.
TEST_F(ServerFaultTest, TableMadeEarlierInTheSearchPathMidRun) {
  const Reference& ref = SharedReference(server());
  const std::string t = FreshName("t");
  server().Exec("CREATE SCHEMA IF NOT EXISTS early; " + TableSql("public." + t));
  RunOptions o;
  o.uri = server().Uri() + "&options=-csearch_path%3Dearly%2Cpublic";
  o.table = t;
  o.at = [&](Point p) {
    if (p.epoch == 10 && p.example == 0) server().Exec(TableSql("early." + t));
  };
  const RunOutcome r = RunInProcess(o);
  EXPECT_EQ(r.number, 0) << r.text;
  PgConn conn(server().Uri());
  EXPECT_EQ(Differences(ref.final, ReadColumn(conn, "public." + t)), "");
  EXPECT_EQ(conn.Scalar("SELECT count(*) FROM early." + t + " WHERE \"Actual\" <> -1"), "0");
}

}  // namespace
}  // namespace kelda::test
