// Ctrl-C while the server works on the run's statement: the statement is
// cancelled on the server, the tool ends with 18, and nothing of the group
// the statement wrote stays.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/pg_server.h"
#include "support/process.h"
#include "support/temp_db.h"

namespace kelda::test {
namespace {

class InterruptTest : public PgServerTest, public ::testing::WithParamInterface<int> {};

TEST_P(InterruptTest, CancelsTheServersStatementAndEndsWith18) {
  server().Exec(
      "DROP TABLE IF EXISTS t; CREATE TABLE t (id int PRIMARY KEY, a double precision, "
      "y double precision, \"Actual\" double precision); "
      "INSERT INTO t SELECT i, i, 2 * i, NULL FROM generate_series(1, 50) i");
  // Another session holds a row: the run's first group of predictions waits for it.
  PgConn holder(server().Uri());
  holder.Exec("BEGIN; SELECT * FROM t WHERE id = 25 FOR UPDATE");

  TempDb scratch;
  const std::string err = scratch.File("err");
  // Its own name among the server's sessions: other tests' runs may still be ending.
  const std::string app = GetParam() == SIGINT ? "kelda_int" : "kelda_term";
  const std::string uri = server().Uri() + "&application_name=" + app;
  ChildOptions options;
  options.err = Stream::File(err);
  Child tool({KELDA_BINARY, "train", uri, "t", "--epochs", "3", "--seed", "1", "--quiet"}, options);
  PgConn watcher(server().Uri());
  bool waiting = false;
  for (int i = 0; i < 400 && !waiting; ++i) {
    waiting = watcher.Scalar("SELECT count(*) FROM pg_stat_activity WHERE application_name = '" +
                             app + "' AND wait_event_type = 'Lock'") == "1";
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(waiting) << "the run never waited for the held row";
  const auto sent = std::chrono::steady_clock::now();
  tool.Signal(GetParam());
  const Ended ended = *tool.Wait();
  // Well before the busy timeout (5 s) would have ended the wait.
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
  EXPECT_EQ(ended.status, 128 + GetParam());
  EXPECT_NE(FileText(err).find("error 18"), std::string::npos) << FileText(err);
  // The server ends a session a moment after its client has gone.
  std::string sessions;
  for (int i = 0; i < 300 && sessions != "0"; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sessions = watcher.Scalar("SELECT count(*) FROM pg_stat_activity WHERE application_name = '" +
                              app + "'");
  }
  EXPECT_EQ(sessions, "0");
  holder.Exec("ROLLBACK");
  EXPECT_EQ(watcher.Scalar("SELECT count(\"Actual\") FROM t"), "0");
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "Int" : "Term"; });

}  // namespace
}  // namespace kelda::test
