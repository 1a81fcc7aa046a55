#include "faults/fault_support.h"

#include <fcntl.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <stdexcept>

#include "cli/cli.h"
#include "support/temp_db.h"

namespace kelda::faults {

namespace {

// `text` between `quote` characters, inner ones doubled.
std::string Quote(const std::string& text, char quote) {
  std::string q(1, quote);
  for (char c : text) {
    if (c == quote) q += quote;
    q += c;
  }
  return q + quote;
}

}  // namespace

std::map<int64_t, Value> ActualByRow(const std::string& path, const std::string& table) {
  test::RawDb db(path);
  bool has_actual = false;
  std::set<std::string> names;
  for (const test::Row& row :
       db.Query("SELECT lower(name), name = 'Actual' FROM pragma_table_info(" + Quote(table, '\'') +
                ")")) {
    names.insert(row.at(0).text());
    has_actual = has_actual || row.at(1).number() != 0;
  }
  // The rowid by the first of its names that no column takes; a table whose
  // columns take them all is keyed by position.
  std::string key = "NULL";
  for (const char* alias : {"rowid", "_rowid_", "oid"}) {
    if (names.count(alias) == 0) {
      key = alias;
      break;
    }
  }
  std::map<int64_t, Value> rows;
  int64_t position = 0;
  for (const test::Row& row : db.Query("SELECT " + key + ", " + (has_actual ? "Actual" : "NULL") +
                                       " FROM " + Quote(table, '"'))) {
    ++position;
    rows[row.at(0).IsNumber() ? static_cast<int64_t>(row.at(0).number()) : position] = row.at(1);
  }
  return rows;
}

std::string IntegrityCheck(const std::string& path) {
  test::RawDb db(path);
  std::string result;
  for (const test::Row& row : db.Query("PRAGMA integrity_check")) {
    if (!result.empty()) result += "; ";
    result += row.at(0).IsText() ? row.at(0).text() : row.at(0).Describe();
  }
  return result;
}

bool OldOrFinite(const std::map<int64_t, Value>& before, const std::map<int64_t, Value>& after,
                 std::string* why) {
  std::ostringstream problems;
  for (const auto& [rowid, value] : after) {
    const auto old = before.find(rowid);
    if (old == before.end()) {
      problems << "row " << rowid << " is new; ";
      continue;
    }
    if (value == old->second) continue;
    if (value.IsNumber() && std::isfinite(value.number())) continue;
    problems << "row " << rowid << " holds " << value.Describe() << " (was "
             << old->second.Describe() << "); ";
  }
  if (why != nullptr) *why = problems.str();
  return problems.str().empty();
}

Outcome TrainWithLibrary(Network& network, const std::string& path, const std::string& table,
                         int32_t epochs, uint64_t seed, std::function<void()> hook) {
  ScopedThreadSettings settings(seed, std::move(hook));
  network.SetMSAccessDBName(path);
  network.SetMSAccessTableName(table);
  network.SetEpochs(epochs);
  return Attempt([&] { network.RunNetwork(); });
}

namespace {

// The outcome of the tool from its exit status and its error stream.
Outcome ToolOutcome(int status, const std::string& err) {
  if (status == cli::kExitSuccess) return Outcome{};
  const std::string prefix = "kelda: error ";
  const auto at = err.find(prefix);
  if (status != cli::kExitRunError || at == std::string::npos) {
    return Outcome{-1, "exit status " + std::to_string(status) + ": " + err};
  }
  Outcome o;
  o.number = std::atoi(err.c_str() + at + prefix.size());
  const auto colon = err.find(": ", at + prefix.size());
  o.text = colon == std::string::npos ? err : err.substr(colon + 2);
  while (!o.text.empty() && o.text.back() == '\n') o.text.pop_back();
  return o;
}

}  // namespace

Outcome RunTool(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"kelda"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<const char*> argv;
  for (const std::string& a : all) argv.push_back(a.c_str());
  std::ostringstream out;
  std::ostringstream err;
  cli::Console console{out, err, false, false};
  const int status = cli::RunCli(static_cast<int>(argv.size()), argv.data(), console);
  return ToolOutcome(status, err.str());
}

Outcome OutcomeOf(const ProcessResult& r) { return ToolOutcome(r.status, r.err); }

namespace {

// Moves this process into a mount namespace of its own, once: mounts made
// afterwards vanish with the process. Private propagation keeps them from
// reaching the namespace the process came from.
void OwnMountNamespace() {
  static const bool done = [] {
    if (::unshare(CLONE_NEWNS) != 0) return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }();
  (void)done;
}

}  // namespace

ProcessResult RunToolProcess(const std::vector<std::string>& args) {
  return test::RunProcess(KELDA_BINARY, args);
}

std::unique_ptr<ScratchMount> ScratchMount::Make(std::size_t bytes, std::string* why_not) {
  OwnMountNamespace();
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelda-mount-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    *why_not = std::string("cannot make a folder: ") + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<ScratchMount> m(new ScratchMount(pattern));
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
  if (::mount("tmpfs", m->dir_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    *why_not = std::string("mounting a tmpfs was refused: ") + std::strerror(errno);
    return nullptr;
  }
  m->mounted_ = true;
  return m;
}

ScratchMount::~ScratchMount() {
  // Detached, so that a file still open somewhere cannot keep it mounted.
  if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  ::rmdir(dir_.c_str());
}

bool ScratchMount::RemountReadOnly(std::string* why_not) {
  if (::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
              nullptr) != 0) {
    *why_not = std::string("remounting read-only was refused: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::size_t ScratchMount::Fill(const std::string& name) const {
  const int fd = ::open(File(name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return 0;
  static const std::vector<char> chunk(4096, 'x');
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = ::write(fd, chunk.data(), chunk.size());
    if (n <= 0) break;
    total += static_cast<std::size_t>(n);
  }
  // A last partial block: whatever bytes still fit.
  for (;;) {
    const ssize_t n = ::write(fd, chunk.data(), 1);
    if (n <= 0) break;
    total += 1;
  }
  ::close(fd);
  return total;
}

bool ScratchMount::Reserve(const std::string& name, std::size_t bytes) const {
  const int fd = ::open(File(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const std::vector<char> data(bytes, 'x');
  const bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  ::close(fd);
  return ok;
}

TempFilesInMemory::TempFilesInMemory() {
  if (::access("/dev/shm", W_OK | X_OK) != 0) return;
  if (const char* tmp = std::getenv("TMPDIR")) saved_ = tmp;
  changed_ = ::setenv("TMPDIR", "/dev/shm", 1) == 0;
}

TempFilesInMemory::~TempFilesInMemory() {
  if (!changed_) return;
  if (saved_) {
    ::setenv("TMPDIR", saved_->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

void CopyDatabase(const std::string& from, const std::string& to) {
  test::RawDb source(from);
  test::RawDb target(to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3_backup* backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
  if (backup == nullptr) throw std::runtime_error("cannot copy " + from);
  const int rc = sqlite3_backup_step(backup, -1);
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE) throw std::runtime_error("cannot copy " + from);
}

}  // namespace kelda::faults
