#include "data/postgres/copy_in.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/error.h"
#include "data/postgres/catalog.h"
#include "data/postgres/errors.h"
#include "data/server_name.h"

namespace kelda::data::postgres {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 50;             // how often the interrupt check is asked while waiting
constexpr std::size_t kChunk = 1 << 16;  // bytes of rows handed to libpq at a time
// How long the rest of a stopped COPY is waited for before the connection is
// given up.
constexpr auto kDrainLimit = std::chrono::seconds(30);

// The server splits a name as it splits an identifier chain; functions named
// with their schema, so that no function of the session's search path runs.
constexpr const char* kParseName =
    "SELECT part FROM pg_catalog.unnest(pg_catalog.parse_ident($1)) WITH ORDINALITY AS p(part, "
    "pos) ORDER BY pos";
constexpr const char* kRelationExists =
    "SELECT 1 FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
    "ON n.oid OPERATOR(pg_catalog.=) c.relnamespace "
    "WHERE n.nspname OPERATOR(pg_catalog.=) $1 AND c.relname OPERATOR(pg_catalog.=) $2";

// The reading and writing of one COPY on the connection's socket, which
// libpq keeps non-blocking (Connection::Open).
class Copy {
 public:
  Copy(Connection& conn, const InterruptCheck& interrupt, std::string_view what)
      : conn_(conn), c_(conn.raw()), interrupt_(interrupt), what_(what) {}

  // Raises the failure of a call that gave `result` (null when none).
  [[noreturn]] void RaiseFailure(const PGresult* result) const {
    conn_.RaiseFailure(result, what_);
  }

  // After a stop: ends the COPY as failed, cancels what the server still
  // runs, reads what is left and raises 18.
  [[noreturn]] void RaiseInterrupted() {
    PQputCopyEnd(c_, "stopped by the host");
    if (PGcancel* cancel = PQgetCancel(c_)) {
      char error[256];
      PQcancel(cancel, error, sizeof error);
      PQfreeCancel(cancel);
    }
    Drain();
    Raise(kErrUserInterrupt, StandardErrorText(kErrUserInterrupt) + " (" + std::string(what_) +
                                 ", server " + conn_.ShownName() + ")");
  }

  // The next result of the statement sent; null when there is none left.
  // Raises 18 when stopped.
  Result Next() {
    while (true) {
      if (PQconsumeInput(c_) == 0) RaiseFailure(nullptr);
      if (PQisBusy(c_) == 0) return Result(PQgetResult(c_));
      if (!Wait(POLLIN)) RaiseInterrupted();
    }
  }

  // Hands `data` to libpq and sends what it holds. Raises 18 when stopped.
  void Put(const std::string& data) {
    if (Stopped()) RaiseInterrupted();
    while (true) {
      const int rc = PQputCopyData(c_, data.data(), static_cast<int>(data.size()));
      if (rc < 0) RaiseFailure(nullptr);
      if (rc == 1) break;
      if (!Wait(POLLOUT)) RaiseInterrupted();
      if (PQflush(c_) < 0) RaiseFailure(nullptr);
    }
    Flush();
  }

  void End() {
    while (true) {
      const int rc = PQputCopyEnd(c_, nullptr);
      if (rc < 0) RaiseFailure(nullptr);
      if (rc == 1) break;
      if (!Wait(POLLOUT)) RaiseInterrupted();
      if (PQflush(c_) < 0) RaiseFailure(nullptr);
    }
    Flush();
  }

  // Reads and drops every result still due, ending a COPY the server still
  // waits on. Gives the connection up when that takes too long.
  void Drain() {
    const Clock::time_point until = Clock::now() + kDrainLimit;
    while (Clock::now() < until) {
      if (PQflush(c_) < 0 || PQconsumeInput(c_) == 0) break;
      if (PQisBusy(c_) != 0) {
        pollfd p{PQsocket(c_), POLLIN, 0};
        ::poll(&p, 1, kSliceMs);
        continue;
      }
      const Result r(PQgetResult(c_));
      if (r == nullptr) return;
      if (PQresultStatus(r.get()) == PGRES_COPY_IN) PQputCopyEnd(c_, "stopped");
    }
    // Its state is no longer known: its next use fails as a lost connection.
    const int fd = PQsocket(c_);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }

 private:
  bool Stopped() const { return interrupt_ && interrupt_(); }

  // Waits for `events` on the socket for at most one slice; false when the
  // interrupt check says stop.
  bool Wait(short events) {
    pollfd p{PQsocket(c_), static_cast<short>(events | POLLIN), 0};
    if (p.fd < 0) RaiseFailure(nullptr);
    ::poll(&p, 1, kSliceMs);
    // The server may wait for its messages to be read before it reads more.
    if ((p.revents & POLLIN) != 0 && PQconsumeInput(c_) == 0) RaiseFailure(nullptr);
    return !Stopped();
  }

  void Flush() {
    while (true) {
      const int rc = PQflush(c_);
      if (rc == 0) return;
      if (rc < 0) RaiseFailure(nullptr);
      if (!Wait(POLLOUT)) RaiseInterrupted();
    }
  }

  Connection& conn_;
  PGconn* c_;
  const InterruptCheck& interrupt_;
  std::string_view what_;
};

void AppendRow(std::string& out, const int64_t* key, const NewRow& row) {
  bool first = true;
  if (key != nullptr) {
    out += std::to_string(*key);
    first = false;
  }
  for (const std::optional<double>& v : row) {
    if (!first) out += '\t';
    first = false;
    out += CopyText(v);
  }
  out += '\n';
}

std::string Cut(std::string_view text) {
  constexpr std::size_t kLongest = 60;
  if (text.size() <= kLongest) return std::string(text);
  std::size_t end = kLongest;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end)) + "... (" + std::to_string(text.size()) + " bytes)";
}

std::vector<std::string> ParseName(Connection& conn, const std::string& text) {
  const std::vector<Param> params = {text};
  const Result r = conn.ExecPrepared("kelda_parse_name", params, "reading a table's name");
  std::vector<std::string> parts;
  for (int i = 0; i < PQntuples(r.get()); ++i) parts.push_back(PQgetvalue(r.get(), i, 0));
  if (parts.empty() || parts.size() > 2) {
    Raise(kErrInvalidArgument,
          StandardErrorText(kErrInvalidArgument) + ": '" + Cut(text) +
              "' is not a table name: give name or schema.name; a part is taken in lower case "
              "unless it is in double quotes, and needs them for any character other than "
              "letters, digits, _ and $");
  }
  return parts;
}

// The first of id, id2, id3, ... that no column has in any case: the
// columns' quoted names are kept as written, but the server folds an
// unquoted `ID` to id, and so would reach the key instead of the column.
std::string KeyColumnName(const std::vector<std::string>& columns) {
  for (int n = 1;; ++n) {
    const std::string name = n == 1 ? "id" : "id" + std::to_string(n);
    bool taken = false;
    for (const std::string& c : columns) taken = taken || SameName(c, name);
    if (!taken) return name;
  }
}

std::string DoubleColumns(const std::vector<std::string>& names) {
  std::string columns;
  for (const std::string& name : names) {
    columns += ", " + QuoteIdentifier(name) + " double precision";
  }
  return columns;
}

std::string ColumnList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + QuoteIdentifier(name);
  return list;
}

}  // namespace

std::string CopyText(const std::optional<double>& value) {
  if (!value) return "\\N";
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, *value).ptr);
}

void CopyIn(Connection& conn, const std::string& copy, const std::vector<NewRow>& rows,
            const std::vector<int64_t>* keys, const InterruptCheck& interrupt,
            std::string_view what) {
  Copy c(conn, interrupt, what);
  if (PQsendQuery(conn.raw(), copy.c_str()) == 0) c.RaiseFailure(nullptr);
  Result started = c.Next();
  if (PQresultStatus(started.get()) != PGRES_COPY_IN) {
    // Refused before any row: read the rest of it, then raise.
    Result failure = std::move(started);
    while (c.Next() != nullptr) {
    }
    c.RaiseFailure(failure.get());
  }
  std::string buffer;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    AppendRow(buffer, keys != nullptr ? &(*keys)[i] : nullptr, rows[i]);
    if (buffer.size() >= kChunk) {
      c.Put(buffer);
      buffer.clear();
    }
  }
  if (!buffer.empty()) c.Put(buffer);
  c.End();
  Result failure;
  for (Result r = c.Next(); r != nullptr; r = c.Next()) {
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK && failure == nullptr) failure = std::move(r);
  }
  if (failure != nullptr) c.RaiseFailure(failure.get());
}

void MakeNewServerTables(const std::string& name, const NewTable& table,
                         const std::optional<KeyedTable>& keyed, const NewTablesOptions& options) {
  // libpq takes statements and parameters as C strings: a NUL would cut a
  // name short.
  std::vector<const std::string*> names = {&table.name};
  for (const std::string& c : table.columns) names.push_back(&c);
  if (keyed) {
    names.push_back(&keyed->name);
    names.push_back(&keyed->key_column);
    for (const std::string& c : keyed->columns) names.push_back(&c);
  }
  for (const std::string* n : names) {
    if (n->find('\0') != std::string::npos) {
      Raise(kErrInvalidArgument, StandardErrorText(kErrInvalidArgument) + ": the name '" +
                                     Cut(n->substr(0, n->find('\0'))) +
                                     "...' holds a NUL character, which no name on a server can");
    }
  }

  // A COMMIT that has begun is not stopped: once the server has it, the
  // tables are there, and an error would say they are not.
  bool committing = false;
  const InterruptCheck stop = [&options, &committing] {
    return !committing && options.interrupt && options.interrupt();
  };
  Connection conn = Connection::Open(name, options.busy_timeout, stop);
  const std::string what = "making the table '" + Cut(table.name) + "'";

  conn.Prepare("kelda_parse_name", kParseName, 1, "reading a table's name");
  const std::vector<std::string> parts = ParseName(conn, table.name);
  const std::string keyed_name = keyed ? ParseName(conn, keyed->name).back() : std::string();
  const std::string key = KeyColumnName(table.columns);

  // The server would cut a longer name, and make a table or column of
  // another name than the one asked for.
  const Result limit = conn.Exec("SHOW max_identifier_length", what);
  const std::size_t longest = std::strtoul(PQgetvalue(limit.get(), 0, 0), nullptr, 10);
  std::vector<std::string> stored = parts;
  stored.insert(stored.end(), table.columns.begin(), table.columns.end());
  if (keyed) {
    stored.push_back(keyed_name);
    stored.push_back(keyed->key_column);
    stored.insert(stored.end(), keyed->columns.begin(), keyed->columns.end());
  }
  for (const std::string& n : stored) {
    if (n.size() > longest) {
      Raise(kErrInvalidArgument, StandardErrorText(kErrInvalidArgument) + ": the name '" + Cut(n) +
                                     "' is longer than the " + std::to_string(longest) +
                                     " bytes the server keeps of a name");
    }
  }

  // Every statement from here on is one transaction: a failure, an interrupt
  // or a lost connection ends it rolled back, as the connection closes.
  conn.Exec("BEGIN", what);
  std::string schema;
  if (parts.size() == 2) {
    schema = parts[0];
  } else {
    const Result r = conn.Exec("SELECT pg_catalog.current_schema()", what);
    if (PQgetisnull(r.get(), 0, 0)) {
      Raise(kErrDatabase, StandardErrorText(kErrDatabase) +
                              ": no schema of the search path exists "
                              "to make '" +
                              Cut(table.name) + "' in; give schema.name (server " +
                              conn.ShownName() + ")");
    }
    schema = PQgetvalue(r.get(), 0, 0);
  }
  conn.Prepare("kelda_relation_exists", kRelationExists, 2, what);
  auto exists = [&](const std::string& relation) {
    const std::vector<Param> params = {schema, relation};
    return PQntuples(conn.ExecPrepared("kelda_relation_exists", params, what).get()) > 0;
  };
  if (exists(parts.back())) RaiseTableExists(table.name, name);
  if (keyed && exists(keyed_name)) RaiseTableExists(keyed->name, name);

  const std::string qualified = QuoteIdentifier(schema) + "." + QuoteIdentifier(parts.back());
  conn.Exec("CREATE TABLE " + qualified + " (" + QuoteIdentifier(key) +
                " bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY" + DoubleColumns(table.columns) +
                ")",
            what);
  // The identity's sequence is new and, until the commit, no other session's:
  // COPY takes its values one row after the other, in the order the rows are
  // sent, so the keys are 1 .. n in the order of `rows`. The count and the
  // extremes confirm it.
  CopyIn(conn, "COPY " + qualified + " (" + ColumnList(table.columns) + ") FROM STDIN", table.rows,
         nullptr, stop, what);
  const Result keys =
      conn.Exec("SELECT pg_catalog.count(*), pg_catalog.min(" + QuoteIdentifier(key) +
                    "), pg_catalog.max(" + QuoteIdentifier(key) + ") FROM ONLY " + qualified,
                what);
  const auto n = static_cast<long long>(table.rows.size());
  const bool numbered = std::atoll(PQgetvalue(keys.get(), 0, 0)) == n &&
                        (n == 0 || (std::atoll(PQgetvalue(keys.get(), 0, 1)) == 1 &&
                                    std::atoll(PQgetvalue(keys.get(), 0, 2)) == n));
  if (!numbered) {
    Raise(kErrDatabase, StandardErrorText(kErrDatabase) + ": the rows of '" + Cut(table.name) +
                            "' did not get the keys 1 to " + std::to_string(n) + " (server " +
                            conn.ShownName() + ")");
  }

  if (keyed) {
    const std::string side = QuoteIdentifier(schema) + "." + QuoteIdentifier(keyed_name);
    conn.Exec("CREATE TABLE " + side + " (" + QuoteIdentifier(keyed->key_column) +
                  " bigint PRIMARY KEY" + DoubleColumns(keyed->columns) + ")",
              what);
    std::vector<int64_t> of_keys;
    of_keys.reserve(keyed->of_rows.size());
    for (std::size_t row : keyed->of_rows) of_keys.push_back(static_cast<int64_t>(row) + 1);
    std::vector<std::string> columns = {keyed->key_column};
    columns.insert(columns.end(), keyed->columns.begin(), keyed->columns.end());
    CopyIn(conn, "COPY " + side + " (" + ColumnList(columns) + ") FROM STDIN", keyed->rows,
           &of_keys, stop, what);
  }

  // The last moment an interrupt leaves the database as it was.
  if (stop()) Raise(kErrUserInterrupt);
  committing = true;
  conn.Exec("COMMIT", what);
}

}  // namespace kelda::data::postgres
