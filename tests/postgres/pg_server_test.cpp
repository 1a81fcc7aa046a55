// The throwaway server itself: reachable by its socket only, and gone after
// its program, however that program ends.
#include "support/pg_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace kelda::test {
namespace {

class PgServerSelfTest : public PgServerTest {};

TEST_F(PgServerSelfTest, ListensOnItsOwnSocketOnly) {
  const PgConn conn(server().Uri());
  EXPECT_EQ(conn.Scalar("SHOW listen_addresses"), "");
  EXPECT_EQ(conn.Scalar("SHOW unix_socket_directories"), server().dir());
  EXPECT_EQ(conn.Scalar("SELECT current_database()"), PgServer::kDatabase);
}

// The folder (data, socket, log) is gone once the server is, both when the
// object goes and when its process is killed without running a destructor.
TEST_F(PgServerSelfTest, RemovedWhateverTheOutcome) {
  std::string dir;
  {
    const PgServer own;
    dir = own.dir();
    EXPECT_TRUE(std::filesystem::exists(dir + "/data/postmaster.pid"));
  }
  EXPECT_FALSE(std::filesystem::exists(dir));

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    try {
      const PgServer doomed;
      const std::string line = doomed.dir() + "\n";
      if (::write(fds[1], line.data(), line.size()) < 0) ::_exit(2);
      ::kill(::getpid(), SIGKILL);
    } catch (...) {
    }
    ::_exit(1);
  }
  ::close(fds[1]);
  std::string doomed_dir;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') doomed_dir += c;
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child did not start its server";
  ASSERT_FALSE(doomed_dir.empty());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::filesystem::exists(doomed_dir) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(std::filesystem::exists(doomed_dir));
}

}  // namespace
}  // namespace kelda::test
