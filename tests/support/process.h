// Test support: other programs run as child processes (no shell between),
// with their standard streams where a test wants them, and reading back what
// they printed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelda::test {

// Changes to the test's own environment for a child: NAME=value, or NAME
// removed where the value is nullopt. Applied in order.
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Where one standard stream of a child goes.
struct Stream {
  enum class Kind { kNull, kInherit, kFile, kPipe };
  Kind kind = Kind::kNull;
  std::string path;  // kFile: created or truncated (read from, for stdin)

  static Stream Null() { return {}; }
  static Stream Inherit() { return {Kind::kInherit, {}}; }
  static Stream File(std::string path) { return {Kind::kFile, std::move(path)}; }
  static Stream Pipe() { return {Kind::kPipe, {}}; }
};

struct ChildOptions {
  Environment environment;
  Stream in;
  Stream out;
  Stream err;
  // In a session of its own, so that a signal to the test's process group
  // spares it.
  bool new_session = false;
};

// How a child ended.
struct Ended {
  int status = -1;  // the exit status; -1 when a signal ended it
  int signal = 0;   // the signal that ended it, else 0
};

// A program running as a child of the test. Every descriptor of the test's
// but the three redirected streams is closed in the child. A child still
// running when the object goes is killed (SIGKILL) and reaped.
class Child {
 public:
  // Starts the program argv[0] (searched for in PATH when it holds no '/')
  // with `argv`. Throws
  // std::runtime_error when the process cannot be made; a program that
  // cannot be run ends with status 127.
  explicit Child(const std::vector<std::string>& argv, ChildOptions options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // The test's ends of the pipes asked for; -1 for a stream not piped.
  int in() const { return in_; }
  int out() const { return out_; }
  // Closes the write end of the child's stdin pipe (its end of input).
  void CloseIn();

  // The next line of the stdout pipe, without its newline; false at its end,
  // or when no whole line came within `timeout`. REQUIRES: out() >= 0.
  bool ReadLine(std::string* line, std::optional<std::chrono::milliseconds> timeout = std::nullopt);

  // Sends `signo`; nothing once the child has been reaped.
  void Signal(int signo) const;

  // How the child ended; nullopt when still running after `timeout` (none:
  // waits as long as it takes).
  std::optional<Ended> Wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::optional<Ended> ended_;
};

struct ProcessResult {
  int status = -1;  // the exit status; -1 when it did not exit normally (a signal)
  std::string out;
  std::string err;
};

// Runs `program` with `args` to its end, stdin from /dev/null, stdout and
// stderr captured.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const Environment& environment = {});

// The whole content of the file `path`; "" when it cannot be read. Not for a
// database file this process has a connection to (see TempDb::WriteFile).
std::string FileText(const std::string& path);

}  // namespace kelda::test
