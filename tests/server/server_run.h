// Support for the tests of server tables in shared use and under faults: the
// table they train on, a run of the library on the calling thread that calls
// back at chosen moments, and what a table's `Actual` column holds.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "component/network.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "support/pg_server.h"

namespace kelda::test {

// 60 rows, the first 58 with a target. Reports in epochs 1, 10 and 20;
// epoch 21 only reads the examples (from memory), then the final write-back
// writes every row, one statement each.
inline constexpr int kRows = 60;
inline constexpr int kExamples = 58;
inline constexpr int32_t kEpochs = 21;
inline constexpr uint64_t kSeed = 7;

// The key of row `i` (1-based): gaps, so that nothing takes a key for a
// row's position.
inline int64_t KeyOf(int i) { return 10 * static_cast<int64_t>(i); }

// Makes `qualified` (a name as SQL takes it) a training table: a key, three
// inputs, the target y, and `Actual` at -1 in every row.
std::string TableSql(const std::string& qualified);

// A column of a table: its value in each row, by key; nullopt for NULL.
using Column = std::map<int64_t, std::optional<double>>;

Column ReadColumn(const PgConn& conn, const std::string& qualified,
                  const std::string& column = "\"Actual\"");

bool SameBits(const std::optional<double>& x, const std::optional<double>& y);

std::string Shown(const std::optional<double>& v);

// Empty when `actual` holds the rows of `expected`, each to the last bit;
// otherwise the first difference.
std::string Differences(const Column& expected, const Column& actual);

// Empty when `actual` is what writing the rows of `after` in key order and
// stopping anywhere leaves in a table that held `before`: a first run of
// rows as in `after`, the rest as in `before` (rows written one statement or
// group at a time, each whole or not at all). Otherwise the first row that
// is neither, or a new value after an old one. `written`, when given, is how
// many rows hold a value of `after` that `before` did not.
std::string OldOrWhole(const Column& before, const Column& after, const Column& actual,
                       int* written = nullptr);

// Where a run stands at one of its yields: the epoch begun last (0 before
// the first), and the examples of a report epoch stored since it began (0
// at the epoch's start).
struct Point {
  int32_t epoch = 0;
  int example = 0;
};

struct RunOptions {
  std::string uri;
  std::string table;
  int32_t epochs = kEpochs;
  uint64_t seed = kSeed;
  std::chrono::milliseconds busy_timeout{5000};
  std::chrono::milliseconds commit_window{200};
  training::YieldUse use = training::YieldUse::kMayWriteDatabase;
  // Called at every yield, on the run's thread, while the run stands still.
  std::function<void(Point)> at;
  // Called each time a statement of the run asks whether to stop (at most
  // every 50 ms of a statement, and as a connection is made): a hook inside
  // the write-back, which has no yield. Never stops the run.
  std::function<void()> check;
};

struct RunOutcome {
  int32_t number = 0;  // the error the run ended with; 0 for success
  std::string text;
  // sums[e - 1]: the error sum of epoch e, for each epoch that ended.
  std::vector<double> sums;
};

// Trains `o.table` of `o.uri` on the calling thread through the library.
RunOutcome RunInProcess(const RunOptions& o);

// What a run with kSeed leaves in a fresh training table: the `Actual`
// column at the start of chosen epochs (before[e], written by the report
// epochs before e) and at the end, and the error sums.
struct Reference {
  std::map<int32_t, Column> before;
  Column final;
  std::vector<double> sums;
};

Reference MakeReference(PgServer& server, const std::string& table);

// A shared reference run, made once per test program on the server at hand
// (later test suites have servers of their own without its table): its
// values depend only on the rows and the seed.
const Reference& SharedReference(PgServer& server);

// Holds a run's final write-back at the row whose key is `key`: another
// session locks that row as the last epoch begins (the report epochs'
// writes done), and once the write-back waits for it `act` runs on the
// run's thread and the lock goes. Pass At and Check to the run as its
// hooks.
class WriteBackStall {
 public:
  WriteBackStall(const PgServer& server, std::string table, int64_t key, std::function<void()> act)
      : locker_(server.Uri()),
        probe_(server.Uri()),
        table_(std::move(table)),
        key_(key),
        act_(std::move(act)) {}

  void At(Point p) {
    if (p.epoch != kEpochs || p.example != 0) return;
    locker_.Exec("BEGIN");
    locker_.Exec("SELECT 1 FROM " + table_ + " WHERE id = " + std::to_string(key_) + " FOR UPDATE");
    armed_ = true;
  }
  void Check() {
    if (!armed_ || done_) return;
    if (probe_.Scalar("SELECT count(*) FROM pg_catalog.pg_locks WHERE NOT granted") == "0") return;
    done_ = true;
    act_();
    locker_.Run("ROLLBACK");  // fails harmlessly where `act` ended the session
  }
  // True once `act` has run.
  bool Done() const { return done_; }

 private:
  PgConn locker_;
  PgConn probe_;
  std::string table_;
  int64_t key_;
  std::function<void()> act_;
  bool armed_ = false;
  bool done_ = false;
};

// Moments of a run that the tests act at:
//   kEarly      epoch 1 begins: the table resolved, no row read yet
//   kReport     report epoch 10, its first kActedAfter examples stored
//   kWriteBack  the final write-back, waiting at row kStallRow
enum class Moment { kEarly, kReport, kWriteBack };
inline constexpr int kActedAfter = 20;
inline constexpr int kStallRow = 30;

const char* Name(Moment m);

// Runs `o` and calls `act` once at moment `m`, on the run's thread while
// the run stands still.
RunOutcome RunActingAt(const PgServer& server, Moment m, RunOptions o,
                       const std::function<void()>& act);

// A fresh table name for each use in a test program.
std::string FreshName(const std::string& stem);

}  // namespace kelda::test
