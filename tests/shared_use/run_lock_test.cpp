// While a run has the database file open, another process sees the run's
// lock on it. Without that lock another program's SQLite takes itself for
// the file's last user, and on closing deletes or resets the log the run is
// still writing into.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "shared_use/shared_use.h"
#include "support/temp_db.h"

namespace kelda::shared_use {
namespace {

// A process of its own that looks at the file's locks on request, as any
// other program would see them.
class LockProbe {
 public:
  explicit LockProbe(const std::string& path) {
    int ask[2];
    int tell[2];
    if (::pipe2(ask, O_CLOEXEC) != 0) return;
    if (::pipe2(tell, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only calls that are safe after fork in a threaded process. The
      // probe keeps no descriptor of this process but its two pipes, and
      // holds no lock that closing its own descriptor could drop.
      ::dup2(ask[0], STDIN_FILENO);
      ::dup2(tell[1], STDOUT_FILENO);
      ::close_range(STDERR_FILENO + 1, ~0U, 0);
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      char request = 0;
      while (::read(STDIN_FILENO, &request, 1) == 1) {
        struct flock lock {};
        lock.l_type = F_WRLCK;  // met by any lock on any byte
        lock.l_whence = SEEK_SET;
        pid_t holder = -1;
        if (fd >= 0 && ::fcntl(fd, F_GETLK, &lock) == 0) {
          holder = lock.l_type == F_UNLCK ? 0 : lock.l_pid;
        }
        if (::write(STDOUT_FILENO, &holder, sizeof holder) != sizeof holder) break;
      }
      ::_exit(0);
    }
    ::close(ask[0]);
    ::close(tell[1]);
    ask_ = ask[1];
    tell_ = tell[0];
  }
  ~LockProbe() {
    if (ask_ >= 0) ::close(ask_);
    if (tell_ >= 0) ::close(tell_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  LockProbe(const LockProbe&) = delete;
  LockProbe& operator=(const LockProbe&) = delete;

  // The process that holds a lock on the file, 0 when none does, -1 when
  // the probe could not tell.
  pid_t Holder() {
    std::lock_guard<std::mutex> lock(mutex_);
    pid_t holder = -1;
    const char request = '?';
    if (::write(ask_, &request, 1) != 1) return -1;
    if (::read(tell_, &holder, sizeof holder) != sizeof holder) return -1;
    return holder;
  }

 private:
  std::mutex mutex_;
  pid_t pid_ = -1;
  int ask_ = -1;
  int tell_ = -1;
};

// Every connection opened while the object lives calls `on_commit` on the
// thread that commits, before the commit completes.
class CommitWatch {
 public:
  explicit CommitWatch(std::function<void()> on_commit) : on_commit_(std::move(on_commit)) {
    current_ = this;
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(&Entry));
  }
  ~CommitWatch() {
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&Entry));
    current_ = nullptr;
  }
  CommitWatch(const CommitWatch&) = delete;
  CommitWatch& operator=(const CommitWatch&) = delete;

 private:
  static int Entry(sqlite3* db, const char**, const sqlite3_api_routines*) {
    sqlite3_commit_hook(db, &OnCommit, nullptr);
    return SQLITE_OK;
  }
  static int OnCommit(void*) {
    if (CommitWatch* watch = current_) watch->on_commit_();
    return 0;  // the commit goes ahead
  }
  static inline std::atomic<CommitWatch*> current_{nullptr};
  std::function<void()> on_commit_;
};

class TheRunsLock : public ::testing::TestWithParam<Runner> {
 protected:
  const faults::TempFilesInMemory in_memory_;
};

// Looked at in each moment the run stands still for, as often as the test
// can while the run is known to be in its epochs (from the library's first
// yield or the tool's first progress line to the moment of the write-back),
// and in the library's own write-back, on its commits.
TEST_P(TheRunsLock, IsSeenByOtherProcessesWhileTheRunIsInProgress) {
  const Runner runner = GetParam();
  const test::TempDb db(TablesSql());
  LockProbe probe(db.path());
  ASSERT_EQ(probe.Holder(), 0) << "a lock before the run";

  // The tool's process is known once the run has started it.
  constexpr pid_t kNotYet = -2;
  std::atomic<pid_t> holder{runner == Runner::kLibrary ? ::getpid() : kNotYet};
  std::atomic<int> looks{0};
  std::atomic<int> missed{0};
  std::mutex misses_mutex;
  std::string misses;
  const auto look = [&](const std::string& when, pid_t seen) {
    ++looks;
    if (seen == holder || ++missed > 5) return;
    std::lock_guard<std::mutex> lock(misses_mutex);
    misses += when + ": " + (seen == 0 ? "no lock" : "process " + std::to_string(seen)) + "; ";
  };

  std::atomic<bool> in_epochs{false};
  std::atomic<bool> past_epochs{false};
  std::atomic<std::thread::id> run_thread{};
  std::atomic<int> write_back_commits{0};
  std::atomic<int> write_back_looks{0};
  const CommitWatch watch([&] {
    if (!past_epochs || std::this_thread::get_id() != run_thread.load()) return;
    const int n = ++write_back_commits;
    if (n != 1 && n % 50 != 0) return;
    ++write_back_looks;
    look("write-back commit " + std::to_string(n), probe.Holder());
  });

  // The tool runs on while its output waits to be read, and a thread of a
  // loaded machine may read it late: epochs well past its last moment keep
  // the tool inside its run at every look, so a look without a lock is the
  // run's fault, not the test's.
  const int32_t epochs = runner == Runner::kTool ? 200 * kEpochs : kEpochs;
  TrainingRun run(
      runner, db.path(), "t", kSeed,
      [&](Moment m) {
        while (holder == kNotYet) std::this_thread::yield();
        if (m == (runner == Runner::kLibrary ? Moment::kEarly : Moment::kMid)) {
          run_thread = std::this_thread::get_id();
          in_epochs = true;
        }
        if (in_epochs) look(Name(m), probe.Holder());
        if (m == Moment::kWriteBack) past_epochs = true;
      },
      epochs);
  holder = run.holder();
  while (!run.Finished()) {
    const bool was_in = in_epochs && !past_epochs;
    const pid_t seen = probe.Holder();
    if (was_in && !past_epochs) look("between moments", seen);
    ::usleep(1000);
  }
  const Outcome o = run.Wait();
  EXPECT_EQ(o.number, 0) << o.text;
  EXPECT_GE(looks, 2);
  if (runner == Runner::kLibrary) {
    EXPECT_GT(write_back_looks, 0);
  }
  EXPECT_EQ(missed, 0) << "the run's process " << holder.load()
                       << " held no lock that others see in " << missed << " of " << looks
                       << " looks: " << misses;
}

INSTANTIATE_TEST_SUITE_P(Runners, TheRunsLock, ::testing::Values(Runner::kTool, Runner::kLibrary),
                         [](const ::testing::TestParamInfo<Runner>& info) {
                           return std::string(Name(info.param));
                         });

}  // namespace
}  // namespace kelda::shared_use
