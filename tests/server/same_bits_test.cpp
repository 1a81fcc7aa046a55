// A run on a server table against the same run on a file: the same rows in
// key order and the same seed give the same predictions, status texts and
// relevance scores to the last bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/pg_server.h"
#include "support/process.h"
#include "support/temp_db.h"

namespace kelda::test {
namespace {

// Rows of the examples: three inputs and a target; the last two rows have
// no target and are predicted only.
std::vector<std::vector<std::string>> Rows() {
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 60; ++i) {
    const double a = std::sin(i * 0.7) * 10.0, b = (i % 7) * 1.5, c = std::cos(i * 0.3) + i * 0.01;
    const bool last = i >= 58;
    char text[200];
    std::snprintf(text, sizeof text, "%.17g|%.17g|%.17g", a, b, c);
    std::string s(text);
    std::vector<std::string> row;
    size_t start = 0;
    for (size_t bar = s.find('|'); bar != std::string::npos; bar = s.find('|', start)) {
      row.push_back(s.substr(start, bar - start));
      start = bar + 1;
    }
    row.push_back(s.substr(start));
    std::snprintf(text, sizeof text, "%.17g", a * 0.3 - b + c * c);
    row.push_back(last ? "NULL" : text);
    rows.push_back(row);
  }
  return rows;
}

std::string Values(const std::vector<std::string>& row) {
  std::string v;
  for (const std::string& cell : row) v += (v.empty() ? "" : ", ") + cell;
  return v;
}

nlohmann::json Train(const std::string& db, const std::string& table, const std::string& network) {
  const ProcessResult r =
      RunProcess(KELDA_BINARY, {"train", db, table, "--epochs", "120", "--seed", "5", "--relevance",
                                "--json", "--quiet", "--save-network", network});
  EXPECT_EQ(r.status, 0) << r.err;
  return nlohmann::json::parse(r.out.empty() ? "{}" : r.out);
}

// Every row's Actual, in key order on the server and rowid order in the
// file, the same to the last bit.
void ExpectSameActual(const RawDb& raw, const std::string& uri) {
  const std::vector<Row> file_actual = raw.Query("SELECT Actual FROM T ORDER BY rowid");
  PgConn conn(uri);
  const PgResult r = conn.Run("SELECT \"Actual\"::text FROM t ORDER BY id");
  ASSERT_EQ(PQntuples(r.get()), static_cast<int>(file_actual.size()));
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    const double mine = std::strtod(PQgetvalue(r.get(), i, 0), nullptr);
    const double theirs = file_actual[static_cast<size_t>(i)][0].number();
    EXPECT_EQ(std::memcmp(&mine, &theirs, sizeof mine), 0)
        << "row " << i << ": " << mine << " " << theirs;
  }
}

class SameBitsTest : public PgServerTest {};

TEST_F(SameBitsTest, ServerTableTrainsAsTheFileDoes) {
  TempDb file;
  RawDb raw(file.path());
  raw.Exec("CREATE TABLE T (a REAL, b REAL, c REAL, y REAL)");
  // The key stands between the inputs: it is no input wherever it is.
  server().Exec(
      "CREATE TABLE t (a double precision, id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, "
      "b double precision, c double precision, y double precision)");
  for (const auto& row : Rows()) {
    raw.Exec("INSERT INTO T VALUES (" + Values(row) + ")");
    server().Exec("INSERT INTO t (a, b, c, y) VALUES (" + Values(row) + ")");
  }

  const nlohmann::json on_file = Train(file.path(), "T", file.File("file.net"));
  const nlohmann::json on_server = Train(server().Uri(), "t", file.File("server.net"));
  EXPECT_EQ(FileText(file.File("file.net")), FileText(file.File("server.net")));
  for (const char* key : {"epochs_run", "ended", "rows", "examples", "rmse", "r2", "cycle_text",
                          "error_text", "relevance"}) {
    EXPECT_EQ(on_file[key], on_server[key]) << key;
  }
  ASSERT_EQ(on_server["relevance"].size(), 3u);

  ExpectSameActual(raw, server().Uri());

  // A saved network predicting each table writes the same numbers too.
  raw.Exec("UPDATE T SET Actual = NULL");
  server().Exec("UPDATE t SET \"Actual\" = NULL");
  for (const std::string& db : {file.path(), server().Uri()}) {
    const ProcessResult r = RunProcess(KELDA_BINARY, {"predict", db, db == file.path() ? "T" : "t",
                                                      "--network", file.File("file.net")});
    EXPECT_EQ(r.status, 0) << r.err;
  }
  ExpectSameActual(raw, server().Uri());
}

}  // namespace
}  // namespace kelda::test
