#include "data/postgres/connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/error.h"
#include "data/postgres/errors.h"
#include "data/server_name.h"

namespace kelda::data::postgres {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 50;  // how often the interrupt check is asked
constexpr auto kSlice = std::chrono::milliseconds(kSliceMs);
// How long the rest of a cancelled statement is waited for before its
// connection is given up.
constexpr auto kDrainLimit = std::chrono::seconds(30);
constexpr std::string_view kMask = "***";

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// A password and the pieces of it that libpq may report on their own: a
// malformed URI can leave part of a password read as a port or a host.
void AddSecret(std::vector<std::string>& secrets, std::string_view raw) {
  for (const std::string& whole : {std::string(raw), PercentDecoded(raw)}) {
    if (whole.empty()) continue;
    secrets.push_back(whole);
    std::size_t start = 0;
    while (start < whole.size()) {
      std::size_t end = whole.find_first_of("/@?&=:#[],", start);
      if (end == std::string::npos) end = whole.size();
      // Single characters would mask half of every message.
      if (end - start >= 2 && end - start < whole.size()) {
        secrets.push_back(whole.substr(start, end - start));
      }
      start = end + 1;
    }
  }
}

// Everything in `uri` that is or may be a password: more rather than less,
// as ShownName masks. libpq's own reading of the name is added by the caller.
std::vector<std::string> SecretsIn(std::string_view uri) {
  std::vector<std::string> secrets;
  const std::size_t scheme = uri.find("://");
  const std::string_view rest = uri.substr(scheme == std::string_view::npos ? 0 : scheme + 3);
  const std::size_t question = rest.find('?');
  const std::string_view head = rest.substr(0, question);
  const std::size_t at = head.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view user_info = head.substr(0, at);
    const std::size_t colon = user_info.find(':');
    if (colon != std::string_view::npos) AddSecret(secrets, user_info.substr(colon + 1));
  }
  if (question == std::string_view::npos) return secrets;
  std::string_view query = rest.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view param = query.substr(0, amp);
    const std::size_t eq = param.find('=');
    if (eq != std::string_view::npos) {
      std::string key = PercentDecoded(param.substr(0, eq));
      for (char& c : key) c = AsciiLower(c);
      if (key == "password" || key == "sslpassword") AddSecret(secrets, param.substr(eq + 1));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return secrets;
}

// libpq's messages run over several lines, continuations indented.
std::string OneLine(std::string_view text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t') {
      space = true;
      continue;
    }
    if (space && !out.empty() && out.back() != ' ') out += ' ';
    space = false;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

// While a cancelled statement's results are read: the interrupt check is not
// asked (it keeps saying stop), failures end the reading instead of raising,
// and the reading ends at a limit.
class Connection::DrainScope {
 public:
  explicit DrainScope(Connection& conn) : conn_(conn) {
    conn_.draining_ = true;
    conn_.drain_until_ = Clock::now() + kDrainLimit;
  }
  ~DrainScope() { conn_.draining_ = false; }
  DrainScope(const DrainScope&) = delete;
  DrainScope& operator=(const DrainScope&) = delete;

 private:
  Connection& conn_;
};

Connection::Connection(PGconn* conn, std::string shown, std::vector<std::string> names,
                       std::vector<std::string> secrets, InterruptCheck interrupt)
    : conn_(conn),
      shown_(std::move(shown)),
      names_(std::move(names)),
      secrets_(std::move(secrets)),
      interrupt_(std::move(interrupt)) {}

Connection::Connection(Connection&& other) noexcept
    : conn_(std::exchange(other.conn_, nullptr)),
      shown_(std::move(other.shown_)),
      names_(std::move(other.names_)),
      secrets_(std::move(other.secrets_)),
      interrupt_(std::move(other.interrupt_)),
      next_ask_(other.next_ask_) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = std::exchange(other.conn_, nullptr);
    shown_ = std::move(other.shown_);
    names_ = std::move(other.names_);
    secrets_ = std::move(other.secrets_);
    interrupt_ = std::move(other.interrupt_);
    next_ask_ = other.next_ask_;
  }
  return *this;
}

Connection::~Connection() {
  if (conn_ != nullptr) PQfinish(conn_);
}

Connection Connection::Open(const std::string& name, std::chrono::milliseconds busy_timeout,
                            InterruptCheck interrupt) {
  // libpq takes the scheme in lower case only.
  std::string uri = name;
  const std::size_t scheme = uri.find("://");
  for (std::size_t i = 0; i < scheme && i < uri.size(); ++i) uri[i] = AsciiLower(uri[i]);

  std::vector<std::string> secrets = SecretsIn(name);
  char* parse_error = nullptr;
  if (PQconninfoOption* options = PQconninfoParse(uri.c_str(), &parse_error)) {
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (o->val != nullptr && (std::strcmp(o->keyword, "password") == 0 ||
                                std::strcmp(o->keyword, "sslpassword") == 0)) {
        AddSecret(secrets, o->val);
      }
    }
    PQconninfoFree(options);
  }
  PQfreemem(parse_error);  // the same message comes again from the attempt itself
  // Longest first, so that a piece never leaves the rest of its password.
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });

  // A name's own application_name, and PGAPPNAME, win over the fallback.
  const char* const keys[] = {"dbname", "fallback_application_name", nullptr};
  const char* const values[] = {uri.c_str(), "kelda", nullptr};
  PGconn* raw = PQconnectStartParams(keys, values, /*expand_dbname=*/1);
  if (raw == nullptr) Raise(kErrOutOfMemory);
  Connection conn(raw, data::ShownName(name), {name, uri}, std::move(secrets),
                  std::move(interrupt));
  // The server's notices are no concern of the host's: libpq would print them.
  PQsetNoticeReceiver(
      raw, [](void*, const PGresult*) {}, nullptr);

  constexpr std::string_view kConnecting = "connecting";
  PostgresPollingStatusType state = PGRES_POLLING_WRITING;
  while (state != PGRES_POLLING_OK) {
    if (PQstatus(raw) == CONNECTION_BAD || state == PGRES_POLLING_FAILED) {
      conn.RaiseFailure(nullptr, kConnecting);
    }
    const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    if (!conn.WaitSocket(events, kConnecting)) {
      Raise(kErrUserInterrupt, StandardErrorText(kErrUserInterrupt) + " (" +
                                   std::string(kConnecting) + ", server " + conn.shown_ + ")");
    }
    state = PQconnectPoll(raw);
  }
  // Every call waits in poll(), where the interrupt check is asked.
  if (PQsetnonblocking(raw, 1) != 0) conn.RaiseFailure(nullptr, kConnecting);

  // The server reads a lock_timeout of 0 as no limit at all.
  const long long lock_ms = std::clamp<long long>(busy_timeout.count(), 1, INT_MAX);
  conn.Exec("SET lock_timeout = " + std::to_string(lock_ms), "setting up the connection");
  return conn;
}

Result Connection::Exec(std::string_view sql, std::string_view what) {
  if (PQsendQuery(conn_, std::string(sql).c_str()) == 0) RaiseFailure(nullptr, what);
  if (!Flush(what)) RaiseInterrupted(what);
  return CollectResults(what);
}

void Connection::Prepare(const std::string& statement, std::string_view sql, int nparams,
                         std::string_view what) {
  if (PQsendPrepare(conn_, statement.c_str(), std::string(sql).c_str(), nparams, nullptr) == 0) {
    RaiseFailure(nullptr, what);
  }
  if (!Flush(what)) RaiseInterrupted(what);
  CollectResults(what);
}

namespace {

std::vector<const char*> ParamValues(std::span<const Param> params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const Param& p : params) values.push_back(p ? p->c_str() : nullptr);
  return values;
}

}  // namespace

Result Connection::ExecPrepared(const std::string& statement, std::span<const Param> params,
                                std::string_view what, Format format) {
  const std::vector<const char*> values = ParamValues(params);
  if (PQsendQueryPrepared(conn_, statement.c_str(), static_cast<int>(values.size()), values.data(),
                          nullptr, nullptr, static_cast<int>(format)) == 0) {
    RaiseFailure(nullptr, what);
  }
  if (!Flush(what)) RaiseInterrupted(what);
  return CollectResults(what);
}

bool Connection::WaitSocket(short events, std::string_view what) {
  const int fd = PQsocket(conn_);
  if (fd < 0) {
    if (draining_) return false;
    RaiseFailure(nullptr, what);
  }
  pollfd p{fd, events, 0};
  if (::poll(&p, 1, kSliceMs) < 0 && errno != EINTR) {
    if (draining_) return false;
    Raise(kErrDatabase, StandardErrorText(kErrDatabase) +
                            ": cannot wait for the server: " + std::strerror(errno) + " (" +
                            std::string(what) + ", server " + shown_ + ")");
  }
  const Clock::time_point now = Clock::now();
  if (draining_) return now < drain_until_;
  if (now < next_ask_) return true;
  next_ask_ = now + kSlice;
  return !(interrupt_ && interrupt_());
}

bool Connection::Flush(std::string_view what) {
  while (true) {
    const int rc = PQflush(conn_);
    if (rc == 0) return true;
    bool failed = rc < 0;
    if (!failed) {
      if (!WaitSocket(POLLIN | POLLOUT, what)) return false;
      failed = PQconsumeInput(conn_) == 0;
    }
    if (failed) {
      if (draining_) return false;
      RaiseFailure(nullptr, what);
    }
  }
}

bool Connection::AwaitResult(std::string_view what) {
  while (true) {
    if (PQconsumeInput(conn_) == 0) {
      if (draining_) return false;
      RaiseFailure(nullptr, what);
    }
    if (PQisBusy(conn_) == 0) return true;
    if (!WaitSocket(POLLIN, what)) return false;
  }
}

Result Connection::CollectResults(std::string_view what) {
  Result last;
  Result failure;
  while (true) {
    if (!AwaitResult(what)) RaiseInterrupted(what);
    Result r(PQgetResult(conn_));
    if (r == nullptr) break;
    switch (PQresultStatus(r.get())) {
      case PGRES_FATAL_ERROR:
      case PGRES_BAD_RESPONSE:
      case PGRES_NONFATAL_ERROR:
        if (failure == nullptr) failure = std::move(r);
        break;
      default:
        last = std::move(r);
    }
  }
  if (failure != nullptr) RaiseFailure(failure.get(), what);
  if (last == nullptr) RaiseFailure(nullptr, what);
  return last;
}

void Connection::Cancel() {
  PGcancel* cancel = PQgetCancel(conn_);
  if (cancel == nullptr) return;
  char error[256];
  // When the request cannot be sent, the drain waits for the statement to
  // end by itself, up to its limit.
  PQcancel(cancel, error, sizeof error);
  PQfreeCancel(cancel);
}

bool Connection::Drain() {
  if (!Flush({})) return false;
  while (true) {
    if (!AwaitResult({})) return false;
    Result r(PQgetResult(conn_));
    if (r == nullptr) return true;
  }
}

void Connection::RollBackQuietly() {
  if (PQstatus(conn_) == CONNECTION_BAD) return;
  if (PQtransactionStatus(conn_) == PQTRANS_IDLE) return;
  if (PQsendQuery(conn_, "ROLLBACK") == 0 || !Drain() ||
      PQtransactionStatus(conn_) != PQTRANS_IDLE) {
    Abandon();
  }
}

void Connection::Abandon() {
  const int fd = PQsocket(conn_);
  if (fd >= 0 && PQstatus(conn_) != CONNECTION_BAD) ::shutdown(fd, SHUT_RDWR);
}

void Connection::RaiseInterrupted(std::string_view what) {
  Cancel();
  {
    DrainScope drain(*this);
    if (!Drain()) Abandon();
  }
  Raise(kErrUserInterrupt, StandardErrorText(kErrUserInterrupt) + " (" + std::string(what) +
                               ", server " + shown_ + ")");
}

void Connection::RaiseFailure(const PGresult* result, std::string_view what) const {
  const int32_t number = ErrorNumberForFailure(conn_, result);
  std::string message;
  const char* primary =
      result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  if (primary != nullptr) {
    message = primary;
  } else if (result != nullptr && *PQresultErrorMessage(result) != '\0') {
    message = PQresultErrorMessage(result);
  } else {
    message = PQerrorMessage(conn_);
  }
  message = OneLine(message);
  if (message.empty()) message = "no message from the server";
  std::string text =
      StandardErrorText(number) + ": " + message + " (" + std::string(what) + ", server " + shown_;
  const char* sqlstate = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  if (sqlstate != nullptr) text += std::string(", SQLSTATE ") + sqlstate;
  text += ")";
  Raise(number, Scrubbed(std::move(text)));
}

std::string Connection::Scrubbed(std::string text) const {
  for (const std::string& name : names_) ReplaceAll(text, name, shown_);
  // libpq's own reading: the password from PGPASSWORD or the password file.
  if (conn_ != nullptr) {
    const char* used = PQpass(conn_);
    if (used != nullptr && *used != '\0') ReplaceAll(text, used, kMask);
  }
  for (const std::string& secret : secrets_) ReplaceAll(text, secret, kMask);
  return text;
}

// ---- Pipeline --------------------------------------------------------------

namespace {

bool SendUnprepared(PGconn* conn, const char* sql) {
  return PQsendQueryParams(conn, sql, 0, nullptr, nullptr, nullptr, nullptr, 0) != 0;
}

}  // namespace

Pipeline::Pipeline(Connection& conn, std::string_view what) : conn_(conn), what_(what) {
  PGconn* c = conn_.conn_;
  if (PQenterPipelineMode(c) == 0) conn_.RaiseFailure(nullptr, what_);
  // An explicit transaction, so that a pipeline abandoned before it is run
  // can be rolled back rather than committed by its sync.
  if (!SendUnprepared(c, "BEGIN")) {
    PQexitPipelineMode(c);
    conn_.RaiseFailure(nullptr, what_);
  }
  queued_ = 1;
}

Pipeline::~Pipeline() {
  if (done_) return;
  Connection::DrainScope drain(conn_);
  if (PQpipelineSync(conn_.conn_) == 0 || !conn_.Flush({})) {
    conn_.Abandon();
    return;
  }
  Result ignored;
  std::vector<int64_t> affected;
  Close(Collect(&ignored, &affected));
}

void Pipeline::Queue(const std::string& statement, std::span<const Param> params) {
  PGconn* c = conn_.conn_;
  const std::vector<const char*> values = ParamValues(params);
  if (PQsendQueryPrepared(c, statement.c_str(), static_cast<int>(values.size()), values.data(),
                          nullptr, nullptr, 0) == 0) {
    conn_.RaiseFailure(nullptr, what_);
  }
  ++queued_;
  // Neither side may wait for the other: what is queued goes out as the
  // socket takes it, and the results that come back meanwhile are taken in.
  if (PQflush(c) < 0 || PQconsumeInput(c) == 0) conn_.RaiseFailure(nullptr, what_);
}

std::vector<int64_t> Pipeline::Run() {
  done_ = true;
  PGconn* c = conn_.conn_;
  if (!SendUnprepared(c, "COMMIT") || PQpipelineSync(c) == 0) {
    Connection::DrainScope drain(conn_);
    conn_.Abandon();
    conn_.RaiseFailure(nullptr, what_);
  }
  ++queued_;
  Result failure;
  std::vector<int64_t> affected;
  Outcome outcome = Outcome::kStopped;
  if (conn_.Flush(what_)) outcome = Collect(&failure, &affected);
  if (outcome == Outcome::kStopped) {
    conn_.Cancel();
    {
      Connection::DrainScope drain(conn_);
      Result ignored;
      Close(Collect(&ignored, &affected));
    }
    Raise(kErrUserInterrupt,
          StandardErrorText(kErrUserInterrupt) + " (" + what_ + ", server " + conn_.shown_ + ")");
  }
  {
    Connection::DrainScope drain(conn_);
    Close(outcome);
  }
  if (failure != nullptr || outcome == Outcome::kLost) conn_.RaiseFailure(failure.get(), what_);
  // The results of BEGIN and COMMIT are no statement's.
  return std::vector<int64_t>(affected.begin() + 1, affected.end() - 1);
}

Pipeline::Outcome Pipeline::Collect(Result* failure, std::vector<int64_t>* affected) {
  PGconn* c = conn_.conn_;
  while (true) {
    if (!conn_.AwaitResult(what_)) {
      return PQstatus(c) == CONNECTION_BAD ? Outcome::kLost : Outcome::kStopped;
    }
    Result r(PQgetResult(c));
    if (r == nullptr) {
      // Between one statement's results and the next; on a lost connection,
      // for ever.
      if (PQstatus(c) == CONNECTION_BAD) return Outcome::kLost;
      continue;
    }
    switch (PQresultStatus(r.get())) {
      case PGRES_PIPELINE_SYNC:
        return Outcome::kSynced;
      case PGRES_COMMAND_OK:
      case PGRES_TUPLES_OK:
        affected->push_back(std::strtoll(PQcmdTuples(r.get()), nullptr, 10));
        break;
      case PGRES_PIPELINE_ABORTED:
        affected->push_back(0);
        break;
      default:
        affected->push_back(0);
        if (*failure == nullptr) *failure = std::move(r);
    }
  }
}

void Pipeline::Close(Outcome outcome) {
  if (outcome != Outcome::kSynced || PQexitPipelineMode(conn_.conn_) == 0) {
    conn_.Abandon();
    return;
  }
  conn_.RollBackQuietly();
}

}  // namespace kelda::data::postgres
