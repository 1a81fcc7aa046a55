#include "timed_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>  // posix_openpt
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "bench_common.h"

extern char** environ;

namespace kelda::bench {
namespace {

double Ms(const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; }

struct Argv {
  explicit Argv(std::vector<std::string>& args) {
    for (std::string& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
  }
  std::vector<char*> pointers;
};

struct Actions {
  posix_spawn_file_actions_t a;
  Actions() { posix_spawn_file_actions_init(&a); }
  ~Actions() { posix_spawn_file_actions_destroy(&a); }
  Actions(const Actions&) = delete;
  Actions& operator=(const Actions&) = delete;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

pid_t Spawn(const std::vector<std::string>& args, Argv& argv, const Actions& actions) {
  pid_t pid = 0;
  const int err =
      posix_spawn(&pid, argv.pointers[0], &actions.a, nullptr, argv.pointers.data(), environ);
  if (err != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(err));
  return pid;
}

// Waits for `pid`; throws unless it exited with 0.
rusage Reap(const std::vector<std::string>& args, pid_t pid) {
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error("waiting for " + args[0] + " failed");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status));
    throw std::runtime_error("'" + command + "' ended with " + how);
  }
  return usage;
}

double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

ProcessTimes TimeProcess(std::vector<std::string> args, const std::string& output) {
  Argv argv(args);
  Actions actions;
  posix_spawn_file_actions_addopen(&actions.a, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  rusage usage{};
  const double ms = TimeMs([&] {
    pid = Spawn(args, argv, actions);
    usage = Reap(args, pid);
  });
  return {ms, Ms(usage.ru_utime) + Ms(usage.ru_stime)};
}

FirstOutputTimes TimeToFirstOutput(std::vector<std::string> args) {
  Fd terminal(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (terminal.get() < 0 || grantpt(terminal.get()) != 0 || unlockpt(terminal.get()) != 0) {
    throw std::runtime_error(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
  }
  const char* name = ptsname(terminal.get());
  if (name == nullptr) throw std::runtime_error("cannot name the pseudo-terminal");
  // Held open here until the program has its own, so that the terminal side
  // read below never sees it without a writer before the program starts.
  Fd program_side(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (program_side.get() < 0) {
    throw std::runtime_error(std::string("cannot open ") + name + ": " + std::strerror(errno));
  }
  Argv argv(args);
  Actions actions;
  posix_spawn_file_actions_adddup2(&actions.a, program_side.get(), 1);

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = Spawn(args, argv, actions);
  program_side.Close();
  std::optional<double> first;
  char buffer[4096];
  // Drained to the end, so that the program never waits on a full terminal;
  // the read fails (EIO) once the program's side is closed.
  for (;;) {
    const ssize_t n = ::read(terminal.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (!first) first = MsSince(start);
  }
  Reap(args, pid);
  const double wall = MsSince(start);
  if (!first) throw std::runtime_error(args[0] + " wrote nothing on its terminal");
  return {*first, wall};
}

double MedianOf(const std::vector<ProcessTimes>& runs, double ProcessTimes::*field) {
  std::vector<double> values;
  for (const ProcessTimes& run : runs) values.push_back(run.*field);
  return Median(values);
}

void PrintJobComparison(const std::vector<ProcessTimes>& ours_runs, const std::string& ours,
                        const std::vector<ProcessTimes>& peer_runs, const std::string& peer,
                        const std::string& ratio_name, double target, double aim) {
  const double ours_ms = MedianOf(ours_runs, &ProcessTimes::wall_ms);
  const double peer_ms = MedianOf(peer_runs, &ProcessTimes::wall_ms);
  PrintMs(ours + ", process start to exit", ours_ms);
  PrintMs(peer + ", process start to exit", peer_ms);
  PrintMs(ours + ", CPU time", MedianOf(ours_runs, &ProcessTimes::cpu_ms));
  PrintMs(peer + ", CPU time", MedianOf(peer_runs, &ProcessTimes::cpu_ms));
  PrintRatio(ratio_name, ours_ms / peer_ms, target, false);
  std::printf("aim: <= %.*fx\n", aim == static_cast<int>(aim) ? 1 : 2, aim);
}

}  // namespace kelda::bench
