// A training run for the kill tests to interrupt:
//   kelda_fault_victim DB TABLE EPOCHS SEED [snapshots|grouped]
// trains through the library and tells on its stdout where it stands, one
// line per event, each written at once:
//   "epoch N"  at the yield that begins epoch N (0: before the first)
//   "commit"   as a write transaction of any connection is about to commit
//   "done"     when the run has returned; the program then waits to be killed
//   "error N"  when the run has failed
// so that the test can send SIGKILL at a moment of its choosing. With
// "snapshots", every "epoch N" line and "done" are followed by the column
// Actual of TABLE as it stands then: "row ROWID VALUE" lines, VALUE the bits
// of the double in hex or "null", and a line "end". Without "grouped" every
// stored row is committed on its own; with it, each report epoch's rows and
// the write-back's are committed as one group, as in a host whose yield hook
// leaves the file alone.
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/error.h"
#include "component/network.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"

namespace {

void Tell(const std::string& line) {
  const std::string text = line + "\n";
  const ssize_t ignored = ::write(STDOUT_FILENO, text.data(), text.size());
  (void)ignored;
}

int OnCommit(void*) {
  Tell("commit");
  return 0;  // let the commit go ahead
}

bool hooking = true;

// Every connection the data layer opens gets the commit hook.
int HookConnection(sqlite3* db, const char**, const sqlite3_api_routines*) {
  if (hooking) sqlite3_commit_hook(db, &OnCommit, nullptr);
  return SQLITE_OK;
}

// The table's column Actual, read on a connection of its own.
void Snapshot(const char* path, const char* table) {
  hooking = false;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, nullptr);
  const std::string sql = std::string("SELECT rowid, Actual FROM \"") + table + "\" ORDER BY rowid";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      char line[80];
      if (sqlite3_column_type(stmt, 1) == SQLITE_NULL) {
        std::snprintf(line, sizeof line, "row %" PRId64 " null",
                      static_cast<int64_t>(sqlite3_column_int64(stmt, 0)));
      } else {
        const double v = sqlite3_column_double(stmt, 1);
        uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        std::snprintf(line, sizeof line, "row %" PRId64 " %016" PRIx64,
                      static_cast<int64_t>(sqlite3_column_int64(stmt, 0)), bits);
      }
      Tell(line);
    }
  }
  sqlite3_finalize(stmt);
  sqlite3_close_v2(db);
  Tell("end");
  hooking = true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    Tell("usage: kelda_fault_victim DB TABLE EPOCHS SEED [snapshots|grouped]");
    return 2;
  }
  const bool snapshots = argc == 6 && std::strcmp(argv[5], "snapshots") == 0;
  const bool grouped = argc == 6 && std::strcmp(argv[5], "grouped") == 0;
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(&HookConnection));
  kelda::ThreadBlock& block = kelda::ThisThread();
  int32_t last_epoch = -1;
  kelda::ScopedThreadSettings settings(
      std::strtoull(argv[4], nullptr, 10),
      [&] {
        if (block.progress.epoch == last_epoch) return;
        last_epoch = block.progress.epoch;
        Tell("epoch " + std::to_string(last_epoch));
        if (snapshots) Snapshot(argv[1], argv[2]);
      },
      grouped ? kelda::training::YieldUse::kLeavesDatabaseAlone
              : kelda::training::YieldUse::kMayWriteDatabase);
  // Row by row, so that the tests can stop the run between any two rows; or
  // one group per report epoch and one for the write-back, however slow the
  // machine.
  block.DBEngine().SetCommitWindow(grouped ? std::chrono::milliseconds(10000)
                                           : std::chrono::milliseconds(0));
  kelda::Network network;
  network.SetMSAccessDBName(argv[1]);
  network.SetMSAccessTableName(argv[2]);
  network.SetEpochs(static_cast<int32_t>(std::strtol(argv[3], nullptr, 10)));
  try {
    network.RunNetwork();
  } catch (const kelda::Error& e) {
    Tell("error " + std::to_string(e.Number()));
    return 1;
  }
  Tell("done");
  if (snapshots) Snapshot(argv[1], argv[2]);
  ::pause();
  return 0;
}
