#include "timed_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bench_common.h"

extern char** environ;

namespace kelda::bench {
namespace {

double Ms(const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + t.tv_usec / 1e3; }

}  // namespace

ProcessTimes TimeProcess(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  struct Actions {
    posix_spawn_file_actions_t a;
    Actions() { posix_spawn_file_actions_init(&a); }
    ~Actions() { posix_spawn_file_actions_destroy(&a); }
  } actions;
  posix_spawn_file_actions_addopen(&actions.a, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int status = 0;
  rusage usage{};
  const double ms = TimeMs([&] {
    const int err = posix_spawn(&pid, argv[0], &actions.a, nullptr, argv.data(), environ);
    if (err != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(err));
    while (wait4(pid, &status, 0, &usage) < 0) {
      if (errno != EINTR) throw std::runtime_error("waiting for " + args[0] + " failed");
    }
  });
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string command;
    for (const std::string& a : args) command += (command.empty() ? "" : " ") + a;
    const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status));
    throw std::runtime_error("'" + command + "' ended with " + how);
  }
  return {ms, Ms(usage.ru_utime) + Ms(usage.ru_stime)};
}

double MedianOf(const std::vector<ProcessTimes>& runs, double ProcessTimes::*field) {
  std::vector<double> values;
  for (const ProcessTimes& run : runs) values.push_back(run.*field);
  return Median(values);
}

void PrintJobComparison(const std::vector<ProcessTimes>& ours_runs, const std::string& ours,
                        const std::vector<ProcessTimes>& peer_runs, const std::string& peer,
                        const std::string& ratio_name, double target) {
  const double ours_ms = MedianOf(ours_runs, &ProcessTimes::wall_ms);
  const double peer_ms = MedianOf(peer_runs, &ProcessTimes::wall_ms);
  PrintMs(ours + ", process start to exit", ours_ms);
  PrintMs(peer + ", process start to exit", peer_ms);
  PrintMs(ours + ", CPU time", MedianOf(ours_runs, &ProcessTimes::cpu_ms));
  PrintMs(peer + ", CPU time", MedianOf(peer_runs, &ProcessTimes::cpu_ms));
  PrintRatio(ratio_name, ours_ms / peer_ms, target, false);
  std::printf("aim: <= 1.0x\n");
}

}  // namespace kelda::bench
