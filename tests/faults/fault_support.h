// Support for the fault tests: what a table holds before and after a run,
// training through the library and through the tool, and scratch file
// systems that can be filled up or made read-only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/value.h"
#include "component/network.h"
#include "component/thread_settings.h"
#include "support/process.h"

namespace kelda {

// Values in test failures: Null, 1.5, 'text'.
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.Describe(); }

}  // namespace kelda

namespace kelda::faults {

// Every row's `Actual`, by rowid. A table without that column gives Null for
// every row.
std::map<int64_t, Value> ActualByRow(const std::string& path, const std::string& table);

// The result of PRAGMA integrity_check on the file, read on a connection of
// its own ("ok" for a sound file).
std::string IntegrityCheck(const std::string& path);

// True when every row of `after` holds the value it held in `before` or a
// finite number; lists the rows that hold anything else in `why`. Rows that
// `before` does not have are not allowed.
bool OldOrFinite(const std::map<int64_t, Value>& before, const std::map<int64_t, Value>& after,
                 std::string* why);

// How a run through the library or the tool ended: 0 for success, otherwise
// the error's number and text.
struct Outcome {
  int number = 0;
  std::string text;
};

// Runs `fn`; a kelda::Error it raises becomes the outcome. Any other
// exception passes, and fails the test.
template <class F>
Outcome Attempt(F&& fn) {
  try {
    std::forward<F>(fn)();
  } catch (const Error& e) {
    return Outcome{e.Number(), e.Description()};
  }
  return Outcome{};
}

// Points `network` at `table` of `path` and trains it for `epochs` epochs
// through the library, weights seeded with `seed`, `hook` (if any) run at
// every yield.
Outcome TrainWithLibrary(Network& network, const std::string& path, const std::string& table,
                         int32_t epochs, uint64_t seed = 7, std::function<void()> hook = {});

// Runs the tool in this process (its command line without the program name).
// `number` is taken from its "kelda: error N: text" line; exit status 1
// without such a line, or any other status than 0 and 1, is reported as -1.
Outcome RunTool(const std::vector<std::string>& args);

// Runs the built tool as a process, stdin from /dev/null; -1 when it did not
// exit normally (killed by a signal).
using test::ProcessResult;
ProcessResult RunToolProcess(const std::vector<std::string>& args);
// As RunTool reads it.
Outcome OutcomeOf(const ProcessResult& r);

// A small tmpfs mounted on a fresh folder of its own, gone with the object.
// The test process moves into a mount namespace of its own first (where the
// system allows it), so a mount never outlives the process that made it,
// even one that crashes; the destructor unmounts in any case.
class ScratchMount {
 public:
  // Mounts `bytes` of tmpfs; nullptr with the reason in `why_not` when the
  // system refuses (not root, no mount rights in a container, ...).
  static std::unique_ptr<ScratchMount> Make(std::size_t bytes, std::string* why_not);
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  const std::string& dir() const { return dir_; }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }
  // Makes the file system read-only (false with the reason when refused).
  bool RemountReadOnly(std::string* why_not);
  // Writes a file `name` until the file system is full; returns the bytes
  // written.
  std::size_t Fill(const std::string& name) const;
  // Writes `bytes` to a file `name`; false when the space runs out first.
  bool Reserve(const std::string& name, std::size_t bytes) const;

 private:
  explicit ScratchMount(std::string dir) : dir_(std::move(dir)) {}
  std::string dir_;
  bool mounted_ = false;
};

// For as long as the object lives, temporary databases (test::TempDb) go to
// the memory file system /dev/shm where there is one: tests that make
// hundreds of files are about their contents, not about waiting for a disk.
class TempFilesInMemory {
 public:
  TempFilesInMemory();
  ~TempFilesInMemory();
  TempFilesInMemory(const TempFilesInMemory&) = delete;
  TempFilesInMemory& operator=(const TempFilesInMemory&) = delete;

 private:
  std::optional<std::string> saved_;
  bool changed_ = false;
};

// Copies the database file `from` to `to` by SQLite's backup, so that the
// copy holds what another connection sees (the log included).
void CopyDatabase(const std::string& from, const std::string& to);

}  // namespace kelda::faults
