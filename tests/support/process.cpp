#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/temp_db.h"

extern char** environ;

namespace kelda::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The child's environment, made before the fork: after it only
// async-signal-safe calls may run in a child of a threaded test.
std::vector<std::string> ChildEnvironment(const Environment& changes) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  for (const auto& [name, value] : changes) {
    const std::string prefix = name + "=";
    std::erase_if(env,
                  [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; });
    if (value) env.push_back(prefix + *value);
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The descriptor the child gets as stream `target`, opened in the parent;
// for a pipe, the test's end in `mine`. -1 for an inherited stream.
int Open(const Stream& stream, bool input, int* mine) {
  switch (stream.kind) {
    case Stream::Kind::kInherit:
      return -1;
    case Stream::Kind::kNull:
      return ::open("/dev/null", (input ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    case Stream::Kind::kFile:
      return input ? ::open(stream.path.c_str(), O_RDONLY | O_CLOEXEC)
                   : ::open(stream.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    case Stream::Kind::kPipe: {
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) return -2;
      *mine = input ? fds[1] : fds[0];
      return input ? fds[0] : fds[1];
    }
  }
  return -2;
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, ChildOptions options) {
  if (argv.empty()) throw std::runtime_error("a child needs a program");
  std::vector<std::string> args = argv;
  std::vector<std::string> env = ChildEnvironment(options.environment);
  const std::vector<char*> arg_pointers = Pointers(args);
  const std::vector<char*> env_pointers = Pointers(env);

  int theirs[3] = {-1, -1, -1};
  int err_mine = -1;
  const Stream* streams[3] = {&options.in, &options.out, &options.err};
  int* mine[3] = {&in_, &out_, &err_mine};
  bool opened = true;
  for (int i = 0; i < 3 && opened; ++i) {
    theirs[i] = Open(*streams[i], i == 0, mine[i]);
    opened = theirs[i] != -2 && (theirs[i] >= 0 || streams[i]->kind == Stream::Kind::kInherit);
  }
  CloseIfOpen(err_mine);  // never read: a file or /dev/null serves stderr
  if (opened) pid_ = ::fork();
  if (pid_ == 0) {
    if (options.new_session) ::setsid();
    for (int i = 0; i < 3; ++i) {
      if (theirs[i] >= 0) ::dup2(theirs[i], i);
    }
    ::close_range(3, ~0U, 0);
    ::execvpe(arg_pointers[0], arg_pointers.data(), env_pointers.data());
    ::_exit(127);
  }
  const int error = errno;
  for (int& fd : theirs) CloseIfOpen(fd);
  if (pid_ < 0) {
    CloseIfOpen(in_);
    CloseIfOpen(out_);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
}

Child::~Child() {
  if (pid_ > 0 && !ended_) {
    ::kill(pid_, SIGKILL);
    Wait();
  }
  CloseIfOpen(in_);
  CloseIfOpen(out_);
}

void Child::CloseIn() { CloseIfOpen(in_); }

bool Child::ReadLine(std::string* line, std::optional<milliseconds> timeout) {
  const auto deadline = Clock::now() + timeout.value_or(milliseconds(0));
  for (;;) {
    const auto nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      *line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    if (timeout) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
    }
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

void Child::Signal(int signo) const {
  if (pid_ > 0 && !ended_) ::kill(pid_, signo);
}

std::optional<Ended> Child::Wait(std::optional<milliseconds> timeout) {
  if (ended_) return ended_;
  const auto deadline = Clock::now() + timeout.value_or(milliseconds(0));
  for (;;) {
    int raw = 0;
    const pid_t got = ::waitpid(pid_, &raw, timeout ? WNOHANG : 0);
    if (got == pid_) {
      Ended e;
      if (WIFEXITED(raw)) e.status = WEXITSTATUS(raw);
      if (WIFSIGNALED(raw)) e.signal = WTERMSIG(raw);
      ended_ = e;
      return ended_;
    }
    if (got < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (timeout && Clock::now() >= deadline) return std::nullopt;
    if (timeout) std::this_thread::sleep_for(milliseconds(5));
  }
}

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const Environment& environment) {
  const TempDb scratch;
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildOptions options;
  options.environment = environment;
  options.out = Stream::File(scratch.File("out"));
  options.err = Stream::File(scratch.File("err"));
  Child child(argv, options);
  const Ended ended = *child.Wait();
  ProcessResult r;
  r.status = ended.status;
  r.out = FileText(scratch.File("out"));
  r.err = FileText(scratch.File("err"));
  return r;
}

}  // namespace kelda::test
