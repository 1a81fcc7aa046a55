// The peer side of the whole-job benchmark on a server table: what a program
// written directly on libpq and FANN does for the job `kelda train URI TABLE`
// does. It loads the table in key order with one SELECT (binary results),
// trains FANN's batch algorithm as kelda_bench_peer does, and writes every
// row's prediction back into the last column with one set-based UPDATE by
// key: one statement, so one transaction.
//
//   kelda_bench_peer_server URI TABLE KEY EPOCHS
//
// KEY is the table's integer primary key column; every other column but the
// last two (the target, then Actual) is an input, and all of those are
// double precision. Prints nothing on success; on failure one line on stderr
// and exit status 1.
#include <endian.h>
#include <libpq-fe.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "peer_fann.h"

namespace kelda::bench {
namespace {

// Type OIDs of the binary results read.
constexpr Oid kInt2 = 21;
constexpr Oid kInt4 = 23;
constexpr Oid kInt8 = 20;
constexpr Oid kFloat8 = 701;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

class Conn {
 public:
  explicit Conn(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK) Fail("cannot connect");
  }
  ~Conn() { PQfinish(conn_); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  [[noreturn]] void Fail(const std::string& what) const {
    throw std::runtime_error(what + ": " +
                             (conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory"));
  }
  // The result of `sql` with `params` as text, in binary when `binary`;
  // anything but `expected` ends the program.
  Result Run(const std::string& sql, const std::vector<const char*>& params, bool binary,
             ExecStatusType expected) const {
    Result r(PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                          params.data(), nullptr, nullptr, binary ? 1 : 0),
             &PQclear);
    if (PQresultStatus(r.get()) != expected) Fail(sql);
    return r;
  }
  // The identifier `name` quoted for the server: names come from the
  // command line and from the table, so they are quoted, never pasted.
  std::string Quote(const std::string& name) const {
    char* quoted = PQescapeIdentifier(conn_, name.c_str(), name.size());
    if (quoted == nullptr) Fail("cannot quote " + name);
    std::string text = quoted;
    PQfreemem(quoted);
    return text;
  }

 private:
  PGconn* conn_;
};

uint64_t BigEndian(const char* bytes, int length) {
  uint64_t v = 0;
  std::memcpy(reinterpret_cast<char*>(&v) + (8 - length), bytes, static_cast<size_t>(length));
  return be64toh(v);
}

int64_t Integer(const PGresult* r, int row, int column) {
  const char* bytes = PQgetvalue(r, row, column);
  switch (PQftype(r, column)) {
    case kInt2:
      return static_cast<int16_t>(BigEndian(bytes, 2));
    case kInt4:
      return static_cast<int32_t>(BigEndian(bytes, 4));
    default:
      return static_cast<int64_t>(BigEndian(bytes, 8));
  }
}

double Float8(const PGresult* r, int row, int column) {
  const uint64_t bits = BigEndian(PQgetvalue(r, row, column), 8);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The table's rows as they were loaded, with the names the write needs.
struct Rows {
  std::vector<int64_t> keys;
  PeerExamples examples;
  std::string actual;  // the last column's name
};

Rows Load(const Conn& conn, const std::string& table, const std::string& key) {
  const Result r = conn.Run("SELECT * FROM " + conn.Quote(table) + " ORDER BY " + conn.Quote(key),
                            {}, true, PGRES_TUPLES_OK);
  const int key_column = PQfnumber(r.get(), conn.Quote(key).c_str());
  const int columns = PQnfields(r.get());
  if (key_column < 0) throw std::runtime_error("table " + table + " has no column " + key);
  const Oid key_type = PQftype(r.get(), key_column);
  if (key_type != kInt2 && key_type != kInt4 && key_type != kInt8) {
    throw std::runtime_error("key " + key + " is not of an integer type");
  }
  // The columns read, in table order: every one but the key and Actual.
  std::vector<int> used;
  for (int c = 0; c < columns - 1; ++c) {
    if (c == key_column) continue;
    if (PQftype(r.get(), c) != kFloat8) {
      throw std::runtime_error(std::string("column ") + PQfname(r.get(), c) +
                               " is not double precision");
    }
    used.push_back(c);
  }
  if (key_column == columns - 1 || used.size() < 2) {
    throw std::runtime_error("table " + table + " needs a key, inputs, target and Actual");
  }
  Rows rows{{}, PeerExamples(static_cast<int>(used.size()) - 1), PQfname(r.get(), columns - 1)};
  const int count = PQntuples(r.get());
  if (count == 0) throw std::runtime_error("table " + table + " has no rows");
  for (int row = 0; row < count; ++row) {
    rows.keys.push_back(Integer(r.get(), row, key_column));
    for (size_t j = 0; j < used.size(); ++j) {
      if (PQgetisnull(r.get(), row, used[j])) {
        throw std::runtime_error("row " + std::to_string(rows.keys.back()) + " holds a Null");
      }
      rows.examples.Append(static_cast<int>(j), Float8(r.get(), row, used[j]));
    }
  }
  return rows;
}

// "{a,b,...}": an array literal of `values`, each written so that it reads
// back to the same bits.
template <class T>
std::string ArrayText(const std::vector<T>& values) {
  std::string text = "{";
  char buffer[32];
  for (size_t i = 0; i < values.size(); ++i) {
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, values[i]);
    if (ec != std::errc()) throw std::runtime_error("cannot write a value as text");
    if (i > 0) text += ',';
    text.append(buffer, end);
  }
  return text + "}";
}

void WriteBack(const Conn& conn, const std::string& table, const std::string& key, const Rows& rows,
               const std::vector<double>& predictions) {
  const std::string keys = ArrayText(rows.keys);
  const std::string values = ArrayText(predictions);
  const Result r = conn.Run("UPDATE " + conn.Quote(table) + " AS t SET " + conn.Quote(rows.actual) +
                                " = v.a FROM unnest($1::bigint[], $2::float8[]) AS v(k, a) "
                                "WHERE t." +
                                conn.Quote(key) + " = v.k",
                            {keys.c_str(), values.c_str()}, false, PGRES_COMMAND_OK);
  if (std::strtoull(PQcmdTuples(r.get()), nullptr, 10) != rows.keys.size()) {
    throw std::runtime_error(std::string("the update wrote ") + PQcmdTuples(r.get()) + " of " +
                             std::to_string(rows.keys.size()) + " rows");
  }
}

int Run(int argc, char** argv) {
  if (argc != 5) throw std::runtime_error("usage: kelda_bench_peer_server URI TABLE KEY EPOCHS");
  const int epochs = ParseEpochs(argv[4]);
  const Conn conn(argv[1]);
  const Rows rows = Load(conn, argv[2], argv[3]);
  WriteBack(conn, argv[2], argv[3], rows, TrainAndPredict(rows.examples, epochs));
  return 0;
}

}  // namespace
}  // namespace kelda::bench

int main(int argc, char** argv) {
  return kelda::bench::RunPeerProgram("kelda_bench_peer_server", argc, argv, kelda::bench::Run);
}
