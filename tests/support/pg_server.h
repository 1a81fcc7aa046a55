// Test support: a throwaway PostgreSQL cluster of the test program's own, and
// libpq connections to it. The cluster lives in a fresh temporary folder,
// listens on a Unix socket in that folder only (no TCP port), and is stopped
// and removed whatever the outcome: by the destructor, or, when the program
// dies first, by a watchdog process that outlives it.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kelda::test {

class Child;

// A PGresult that is cleared when it goes.
using PgResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

// One libpq connection; closed when the object goes.
class PgConn {
 public:
  // Connects to `uri`; throws std::runtime_error when it cannot.
  explicit PgConn(const std::string& uri);
  ~PgConn();
  PgConn(const PgConn&) = delete;
  PgConn& operator=(const PgConn&) = delete;

  PGconn* get() const { return conn_; }
  // The result of `sql`, whatever its status (PQexec).
  PgResult Run(std::string_view sql) const;
  // Runs `sql`; throws std::runtime_error unless it succeeds.
  void Exec(std::string_view sql) const;
  // The first column of the first row of `sql` as text; "" for no row or
  // NULL. Throws std::runtime_error unless it succeeds.
  std::string Scalar(std::string_view sql) const;

 private:
  PGconn* conn_ = nullptr;
};

// A throwaway cluster with the database `kelda`, a superuser `postgres` that
// needs no password, and the role kPasswordUser that needs kPassword.
class PgServer {
 public:
  static constexpr const char* kDatabase = "kelda";
  static constexpr const char* kPasswordUser = "kelda_pw";
  static constexpr const char* kPassword = "Pw-4a1b9c";

  // Why no cluster can be started on this machine (no initdb or pg_ctl, or
  // as root no `postgres` user to run them); nullopt when one can.
  static std::optional<std::string> Unavailable();

  // initdb, then pg_ctl start; waits until the server accepts connections.
  // Throws std::runtime_error (with the server's log) when anything fails,
  // having stopped and removed whatever it made.
  PgServer();
  ~PgServer();
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // The folder holding the cluster (data/) and its socket.
  const std::string& dir() const { return dir_; }
  // A connection URI for `user` (with `password`, when given) on `database`:
  // postgresql:///<database>?host=<folder>&port=...&user=<user>[&password=...].
  std::string Uri(std::string_view user = "postgres", std::string_view password = {},
                  std::string_view database = kDatabase) const;
  // Runs `sql` as the superuser on the database kelda; throws
  // std::runtime_error unless it succeeds.
  void Exec(std::string_view sql) const;

  // Stops the server as `pg_ctl stop -m fast` does (`immediate`: -m
  // immediate, as a crash would leave it), ending every session; the cluster
  // and its data stay. Throws std::runtime_error when pg_ctl fails.
  void Halt(bool immediate);
  // Starts the halted server again and waits until it accepts connections.
  // Throws std::runtime_error (with the server's log) when it cannot.
  void Resume();

 private:
  void Start();
  // Runs `command` as the server's account from /; throws
  // std::runtime_error naming `what`, with the server's log, when it fails.
  void RunAsServer(const std::string& what, const std::string& command) const;
  // pg_ctl start, waiting until the server accepts connections.
  void StartServer() const;
  // Stops the server (`immediate`: at once, as after a failure; otherwise
  // cleanly, at once only when that fails) and removes the folder.
  void Stop(bool immediate);
  void StartWatchdog();

  std::string bin_;     // the folder of initdb and pg_ctl
  std::string runner_;  // "runuser -u postgres --" as root, "" otherwise
  std::string dir_;
  // Acts when its stdin, whose write end only this process holds, closes.
  std::unique_ptr<Child> watchdog_;
};

// A fixture whose tests share one cluster per test suite. A test is skipped
// (with the reason) only where PgServer::Unavailable() says so; a cluster
// that cannot be started fails every test.
class PgServerTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite();
  void SetUp() override;
  static PgServer& server() { return *server_; }

 private:
  static std::unique_ptr<PgServer> server_;
  static std::string failure_;
};

}  // namespace kelda::test
