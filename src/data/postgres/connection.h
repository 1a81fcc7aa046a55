// One connection to a database server, and the server engine's one path from
// libpq's failures to kelda::Error. Every statement runs asynchronously, so
// that the host's interrupt check is asked while the server works and a
// statement it stops is cancelled on the server too.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/database.h"

namespace kelda::data::postgres {

struct ResultClear {
  void operator()(PGresult* r) const { PQclear(r); }
};
// A result of a statement, owned.
using Result = std::unique_ptr<PGresult, ResultClear>;

// A statement's parameter in text form; nullopt is SQL NULL. A double must
// be written so that it reads back to the same bits (17 significant digits).
using Param = std::optional<std::string>;

// The form of a statement's result values: text, or the server's binary form
// (a float8 as its 8 bytes in network order, exact to the last bit).
enum class Format { kText = 0, kBinary = 1 };

class Pipeline;

// Movable, not copyable; owns its PGconn, closed when the object goes. Used
// by one thread at a time.
//
// Every failure raises kelda::Error through one check path: the number from
// ErrorNumberForFailure (3151 for a connection that cannot be made or has
// dropped, whatever the server said as it went), a text made of the number's
// standard text, the server's or libpq's message, what was being done and the
// server's name as ShownName gives it. No text this class makes holds the
// password: not the one in the name, nor one that libpq took from its
// environment or password file.
//
// While a statement runs, `interrupt` is asked about every 50 ms; when it
// returns true the statement is cancelled on the server and 18 is raised, the
// connection still usable. The statement may have completed before the
// cancel reached the server: a caller that must know wraps it in a
// transaction, which a cancel inside it leaves aborted.
class Connection {
 public:
  // Connects to the server database `name`, a connection URI as the user gave
  // it: its scheme may be in any case. libpq's environment (PGHOST, PGUSER,
  // PGPASSWORD, PGSERVICE, ...) and password file apply as libpq documents;
  // an application_name from the name or PGAPPNAME wins over "kelda". A row
  // lock held by another session is waited for up to `busy_timeout` (at
  // least 1 ms: the server reads 0 as "for ever"), then the statement fails
  // with 3218. Raises 3151 when no connection can be made, 18 when
  // `interrupt` stops the attempt.
  // REQUIRES: IsServerName(name).
  static Connection Open(const std::string& name, std::chrono::milliseconds busy_timeout,
                         InterruptCheck interrupt);

  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The name given to Open with its passwords masked, for messages.
  // REQUIRES (of every method below): not moved from.
  const std::string& ShownName() const { return shown_; }

  // Runs `sql` (one or more statements) and returns the last statement's
  // result. `what` says, for the error text, what was being done. A failing
  // statement raises once every result has been read, so that the
  // connection is ready for the next call. REQUIRES: no COPY statement.
  Result Exec(std::string_view sql, std::string_view what);

  // Prepares `sql` as the statement `statement` of this connection, with
  // `nparams` parameters $1 ... $n (their types left to the server).
  void Prepare(const std::string& statement, std::string_view sql, int nparams,
               std::string_view what);

  // Runs the prepared `statement` with `params` and returns its result.
  Result ExecPrepared(const std::string& statement, std::span<const Param> params,
                      std::string_view what, Format format = Format::kText);

  // The connection itself, for reading results and its state.
  const PGconn* get() const { return conn_; }
  // The check path: raises the error for a failed call that gave `result`
  // (null when it gave none), for libpq calls made on raw() too (a COPY).
  [[noreturn]] void RaiseFailure(const PGresult* result, std::string_view what) const;

  // The same for a synchronous libpq call (the catalog's look-ups).
  // REQUIRES: no statement of this class in progress.
  PGconn* raw() { return conn_; }

 private:
  friend class Pipeline;

  class DrainScope;

  Connection(PGconn* conn, std::string shown, std::vector<std::string> names,
             std::vector<std::string> secrets, InterruptCheck interrupt);

  // Polls the socket for `events` for at most one interrupt slice. False
  // when the wait must end: the interrupt check said stop, or a drain has
  // passed its limit.
  bool WaitSocket(short events, std::string_view what);
  // Sends what libpq holds for the server, reading what arrives meanwhile
  // (the server may wait for its results to be read before it reads more).
  // False when stopped; a failure raises, or while draining returns false.
  bool Flush(std::string_view what);
  // Waits until a result can be read without blocking. As Flush.
  bool AwaitResult(std::string_view what);
  // Reads the results of the statements sent, up to the end of the last:
  // returns the last one, or raises the first failure once all are read.
  Result CollectResults(std::string_view what);
  // Asks the server to cancel the statement it runs, if any.
  void Cancel();
  // Reads and drops every result still due. False when that cannot be done
  // within the drain's limit. REQUIRES: within a DrainScope.
  bool Drain();
  // Ends the transaction in progress, if any, raising nothing. REQUIRES: not
  // in pipeline mode; within a DrainScope.
  void RollBackQuietly();
  // Makes a connection whose state is no longer known read as lost, so that
  // its next use raises 3151 instead of reading what belongs to another call.
  void Abandon();
  // After an interrupt: cancels the statement on the server, reads what is
  // left of it and raises 18.
  [[noreturn]] void RaiseInterrupted(std::string_view what);

  // `text` with the name as given shown masked, and every password and piece
  // of one replaced by "***".
  std::string Scrubbed(std::string text) const;

  PGconn* conn_ = nullptr;
  std::string shown_;
  std::vector<std::string> names_;    // the name as given and as libpq read it
  std::vector<std::string> secrets_;  // passwords, and the pieces they may be read in
  InterruptCheck interrupt_;
  std::chrono::steady_clock::time_point next_ask_;  // when the interrupt check is next due
  bool draining_ = false;
  std::chrono::steady_clock::time_point drain_until_;
};

// A group of prepared statements sent together (libpq's pipeline mode) and
// run in one transaction: either all of them take effect or none. For writes
// of many rows at once: no round trip per statement.
class Pipeline {
 public:
  // Enters pipeline mode and opens the transaction.
  // REQUIRES: `conn` outlives the Pipeline, is in no transaction, and is used
  // for nothing else until the Pipeline is run or gone.
  Pipeline(Connection& conn, std::string_view what);
  // A pipeline that was not run is rolled back; the connection leaves
  // pipeline mode, ready for use.
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Queues the prepared `statement` with `params`. REQUIRES: not yet run.
  void Queue(const std::string& statement, std::span<const Param> params);

  // Commits: sends the queue, reads every result, and returns the number of
  // rows each queued statement affected, in order. When a statement fails,
  // none of them takes effect and its failure is raised through the check
  // path; an interrupt cancels them all with 18. Either way the connection
  // is left out of pipeline mode and in no transaction.
  // REQUIRES: not yet run.
  std::vector<int64_t> Run();

 private:
  enum class Outcome { kSynced, kStopped, kLost };
  // Reads the results of everything sent, up to the sync's: the first
  // failure, if any, into `failure`, and the rows each statement affected.
  Outcome Collect(Result* failure, std::vector<int64_t>* affected);
  // After the sync's result: leaves pipeline mode and ends any transaction
  // still open. REQUIRES: within a DrainScope.
  void Close(Outcome outcome);

  Connection& conn_;
  std::string what_;
  int queued_ = 0;  // statements sent, BEGIN and COMMIT included
  bool done_ = false;
};

}  // namespace kelda::data::postgres
