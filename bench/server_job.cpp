// The whole job on a table in a PostgreSQL server: `kelda train URI TABLE`
// of 500 epochs on the 5000-row example table, timed from process start to
// exit, against kelda_bench_peer_server doing the same job directly on libpq
// and FANN (one SELECT in key order, FANN batch training of the same 19-20-1
// sigmoid network, one set-based UPDATE of every prediction). The server is a
// throwaway cluster of the program's own on a Unix socket; each run gets a
// fresh copy of the table, keys included, and the two programs run
// alternately, as the whole-job benchmark on a file runs them.
//
// Then, in this process, a training run of 100 epochs on a server table timed
// epoch by epoch against its floors: the engine's arithmetic on the rows in
// memory (under an epoch that writes nothing), and that plus every row's
// `Actual` written by pipelined UPDATEs by key in one transaction (under an
// epoch that writes every prediction).
#include <libpq-fe.h>
#include <poll.h>
#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_common.h"
#include "run_epochs.h"
#include "support/pg_server.h"
#include "timed_process.h"

namespace kelda::bench {
namespace {

using test::PgConn;
using test::PgResult;
using test::PgServer;

constexpr int kReps = 7;
constexpr const char* kEpochs = "500";
constexpr const char* kSeed = "7";
constexpr const char* kExamples = "examples";  // the table every copy is made from
constexpr const char* kKey = "id";

constexpr int32_t kRunEpochs = 100;
constexpr uint64_t kRunSeed = 7;
constexpr int kRounds = 3;
constexpr int kFloorReps = 21;
constexpr int kUpdateReps = 5;

// "x1 double precision, ..., y double precision, "Actual" double precision":
// the example table's columns in a server's types.
std::string ColumnTypes() {
  std::string columns;
  for (int i = 1; i <= kInputs; ++i) columns += "x" + std::to_string(i) + " double precision, ";
  return columns + "y double precision, \"Actual\" double precision";
}

void AppendNumber(std::string& line, double v) {
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  if (ec != std::errc()) throw std::runtime_error("cannot write a value as text");
  line.append(buffer, end);
}

// Copies the rows of table t in the SQLite file `path`, in rowid order, into
// the server table kExamples, whose key numbers them from 1. Every value
// crosses as its shortest exact text, so the server holds the same bits.
void LoadExamples(const PgServer& server, const std::string& path) {
  server.Exec(std::string("CREATE TABLE ") + kExamples + " (" + kKey +
              " bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, " + ColumnTypes() + ")");
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
  struct Closer {
    sqlite3*& db;
    sqlite3_stmt*& select;
    ~Closer() {
      sqlite3_finalize(select);
      sqlite3_close_v2(db);
    }
  } closer{db, select};
  const std::string sql = std::string("SELECT * FROM ") + kTable + " ORDER BY rowid";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, sql.c_str(), -1, &select, nullptr) != SQLITE_OK) {
    throw std::runtime_error(path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
  }

  const PgConn conn(server.Uri());
  std::string columns;
  for (int i = 1; i <= kInputs; ++i) columns += "x" + std::to_string(i) + ", ";
  const PgResult start =
      conn.Run(std::string("COPY ") + kExamples + " (" + columns + "y, \"Actual\") FROM STDIN");
  if (PQresultStatus(start.get()) != PGRES_COPY_IN) {
    throw std::runtime_error(std::string("COPY: ") + PQerrorMessage(conn.get()));
  }
  const int count = sqlite3_column_count(select);
  std::string line;
  int rc;
  while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
    line.clear();
    for (int c = 0; c < count; ++c) {
      if (c > 0) line += '\t';
      if (sqlite3_column_type(select, c) == SQLITE_NULL) {
        line += "\\N";
      } else {
        AppendNumber(line, sqlite3_column_double(select, c));
      }
    }
    line += '\n';
    if (PQputCopyData(conn.get(), line.data(), static_cast<int>(line.size())) != 1) {
      throw std::runtime_error(std::string("COPY: ") + PQerrorMessage(conn.get()));
    }
  }
  if (rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + sqlite3_errmsg(db));
  if (PQputCopyEnd(conn.get(), nullptr) != 1) {
    throw std::runtime_error(std::string("COPY: ") + PQerrorMessage(conn.get()));
  }
  const PgResult end(PQgetResult(conn.get()), &PQclear);
  if (PQresultStatus(end.get()) != PGRES_COMMAND_OK) {
    throw std::runtime_error(std::string("COPY: ") + PQerrorMessage(conn.get()));
  }
  const std::string rows = conn.Scalar(std::string("SELECT count(*) FROM ") + kExamples);
  if (rows != std::to_string(kRows)) {
    throw std::runtime_error("the server table holds " + rows + " rows, not " +
                             std::to_string(kRows));
  }
}

// A fresh copy of the example table, keys and all, settled (vacuumed and
// analysed) as a table in use is, so that no run pays for another's writes
// or for the first reads of new rows.
void CopyTable(const PgServer& server, const std::string& name) {
  server.Exec("DROP TABLE IF EXISTS " + name);
  server.Exec("CREATE TABLE " + name + " (LIKE " + kExamples + " INCLUDING ALL)");
  server.Exec("INSERT INTO " + name + " OVERRIDING SYSTEM VALUE SELECT * FROM " + kExamples);
  server.Exec("VACUUM ANALYZE " + name);
}

// Every row of the copy must hold a finite prediction: a run that ended
// early, or wrote nothing, would otherwise be timed as a fast one.
void CheckPredictions(const PgServer& server, const std::string& name, const char* who) {
  const PgConn conn(server.Uri());
  const std::string rows = conn.Scalar("SELECT count(*) FROM " + name);
  const std::string finite = conn.Scalar(
      "SELECT count(*) FROM " + name +
      " WHERE \"Actual\" IS NOT NULL AND \"Actual\" NOT IN ('NaN', 'Infinity', '-Infinity')");
  if (rows != std::to_string(kRows) || finite != rows) {
    throw std::runtime_error(std::string(who) + " left " +
                             std::to_string(std::stol(rows) - std::stol(finite)) + " of " + rows +
                             " rows without a finite Actual in " + name);
  }
}

void WholeJob(const PgServer& server) {
  std::printf("server whole job: %d rows, %d inputs, %s epochs; medians of %d runs each\n", kRows,
              kInputs, kEpochs, kReps);
  const std::string uri = server.Uri();
  std::vector<ProcessTimes> ours;
  std::vector<ProcessTimes> peer;
  for (int rep = 0; rep < kReps; ++rep) {
    const std::string ours_copy = "kelda_" + std::to_string(rep);
    const std::string peer_copy = "peer_" + std::to_string(rep);
    CopyTable(server, ours_copy);
    CopyTable(server, peer_copy);
    const auto run_ours = [&] {
      ours.push_back(TimeProcess({KELDA_TOOL_PATH, "train", uri, ours_copy, "--epochs", kEpochs,
                                  "--seed", kSeed, "--quiet"}));
      CheckPredictions(server, ours_copy, "kelda train");
    };
    const auto run_peer = [&] {
      peer.push_back(TimeProcess({KELDA_PEER_SERVER_PATH, uri, peer_copy, kKey, kEpochs}));
      CheckPredictions(server, peer_copy, "the peer program");
    };
    RunAlternately(rep, run_ours, run_peer);
    server.Exec("DROP TABLE " + ours_copy + ", " + peer_copy);
  }
  PrintJobComparison(ours, "kelda train on a server table", peer,
                     "peer program (libpq + FANN batch)",
                     "server whole job: kelda train / peer program", 1.5);
}

// The floor under a report epoch's writes: every row's `Actual` of `table`
// by key, each its own UPDATE, sent as one pipeline inside one transaction on
// a connection of their own.
double PipelinedUpdatesMs(const PgServer& server, const std::string& table) {
  const PgConn conn(server.Uri());
  PGconn* pg = conn.get();
  const auto fail = [&](const std::string& what) {
    throw std::runtime_error(what + ": " + PQerrorMessage(pg));
  };
  const PgResult prepared(
      PQprepare(
          pg, "update",
          ("UPDATE " + table + " SET \"Actual\" = $1 WHERE " + std::string(kKey) + " = $2").c_str(),
          2, nullptr),
      &PQclear);
  if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) fail("prepare");
  std::vector<std::string> values(kRows);
  std::vector<std::string> keys(kRows);
  for (int r = 0; r < kRows; ++r) {
    AppendNumber(values[r], (r + 1) * 0.5);
    keys[r] = std::to_string(r + 1);
  }
  return TimeMs([&] {
    // Sent without blocking, reading what the server answers meanwhile, so
    // that neither side waits on the other's full buffer.
    if (PQsetnonblocking(pg, 1) != 0 || PQenterPipelineMode(pg) != 1) fail("pipeline");
    if (PQsendQueryParams(pg, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0) != 1) {
      fail("begin");
    }
    for (int r = 0; r < kRows; ++r) {
      const char* params[2] = {values[r].c_str(), keys[r].c_str()};
      if (PQsendQueryPrepared(pg, "update", 2, params, nullptr, nullptr, 0) != 1) fail("update");
    }
    if (PQsendQueryParams(pg, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0) != 1) {
      fail("commit");
    }
    if (PQpipelineSync(pg) != 1) fail("sync");
    int flush;
    while ((flush = PQflush(pg)) == 1) {
      pollfd fd{PQsocket(pg), POLLIN | POLLOUT, 0};
      if (poll(&fd, 1, -1) < 0) fail("poll");
      if ((fd.revents & POLLIN) != 0 && PQconsumeInput(pg) != 1) fail("reading");
    }
    if (flush < 0 || PQsetnonblocking(pg, 0) != 0) fail("sending");
    for (int q = 0; q < kRows + 2; ++q) {
      const PgResult result(PQgetResult(pg), &PQclear);
      if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) fail("pipelined statement");
      if (q > 0 && q <= kRows && std::string(PQcmdTuples(result.get())) != "1") {
        throw std::runtime_error("an update by key wrote no row");
      }
      const PgResult none(PQgetResult(pg), &PQclear);  // ends each statement's results
    }
    const PgResult sync(PQgetResult(pg), &PQclear);
    if (PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC || PQexitPipelineMode(pg) != 1) {
      fail("pipeline end");
    }
  });
}

struct Round {
  double plain_ms = 0.0;
  double report_ms = 0.0;
  double engine_ms = 0.0;
  double updates_ms = 0.0;
};

// One run on a fresh server table, then the floors right after it, so that
// the load the machine carries meanwhile falls on both alike. The arithmetic
// runs on the same rows read from the SQLite file the server table was made
// from: the same numbers, so the same work.
Round MeasureRound(const PgServer& server, const std::string& path, int round) {
  const std::string table = "run_" + std::to_string(round);
  CopyTable(server, table);
  const EpochTimes run = TimeRunEpochs(server.Uri(), table, kRunEpochs, kRunSeed);
  RunSources sources(path, kRunSeed);
  EngineEpochs arithmetic(sources.net(), sources.fields(), LoadRows(sources));
  std::vector<double> engine_ms;
  for (int i = 0; i < kFloorReps; ++i) engine_ms.push_back(arithmetic.TimeOneMs());
  std::vector<double> updates_ms;
  for (int i = 0; i < kUpdateReps; ++i) updates_ms.push_back(PipelinedUpdatesMs(server, table));
  server.Exec("DROP TABLE " + table);
  return Round{Median(run.plain_ms), Median(run.report_ms), Median(engine_ms), Median(updates_ms)};
}

void RunEpochs(const PgServer& server, const std::string& path) {
  std::vector<double> plain;
  std::vector<double> report;
  std::vector<double> engine;
  std::vector<double> updates;
  std::vector<double> plain_ratio;
  std::vector<double> report_ratio;
  for (int round = 0; round < kRounds; ++round) {
    const Round r = MeasureRound(server, path, round);
    plain.push_back(r.plain_ms);
    report.push_back(r.report_ms);
    engine.push_back(r.engine_ms);
    updates.push_back(r.updates_ms);
    plain_ratio.push_back(r.plain_ms / r.engine_ms);
    report_ratio.push_back(r.report_ms / (r.engine_ms + r.updates_ms));
  }
  std::printf(
      "server training run: %d rows, %d inputs, %d epochs; medians over %d rounds of each "
      "round's medians, ratios taken within each round\n",
      kRows, kInputs, kRunEpochs, kRounds);
  PrintMs("plain epoch on a server table", Median(plain));
  PrintMs("report epoch on a server table", Median(report));
  PrintMs("engine arithmetic, one epoch", Median(engine));
  PrintMs("pipelined updates of Actual in one transaction", Median(updates));
  PrintRatio("server plain epoch / arithmetic", Median(plain_ratio), 1.2, false);
  PrintRatio("server report epoch / (arithmetic + pipelined updates)", Median(report_ratio), 2.0,
             false);
}

int Run() {
  if (const auto why = PgServer::Unavailable()) {
    throw std::runtime_error("no PostgreSQL cluster can be started here: " + *why);
  }
  TempDir dir;
  BuildTable(dir.db_path());
  const PgServer server;
  LoadExamples(server, dir.db_path());
  WholeJob(server);
  RunEpochs(server, dir.db_path());
  return 0;
}

}  // namespace
}  // namespace kelda::bench

int main() { return kelda::bench::RunProgram("kelda_bench_server", kelda::bench::Run); }
