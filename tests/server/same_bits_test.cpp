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

nlohmann::json Train(const std::string& db, const std::string& table) {
  const ProcessResult r = RunProcess(KELDA_BINARY, {"train", db, table, "--epochs", "120", "--seed",
                                                    "5", "--relevance", "--json", "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
  return nlohmann::json::parse(r.out.empty() ? "{}" : r.out);
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

  const nlohmann::json on_file = Train(file.path(), "T");
  const nlohmann::json on_server = Train(server().Uri(), "t");
  for (const char* key : {"epochs_run", "ended", "rows", "examples", "rmse", "r2", "cycle_text",
                          "error_text", "relevance"}) {
    EXPECT_EQ(on_file[key], on_server[key]) << key;
  }
  ASSERT_EQ(on_server["relevance"].size(), 3u);

  const std::vector<Row> file_actual = raw.Query("SELECT Actual FROM T ORDER BY rowid");
  PgConn conn(server().Uri());
  const PgResult r = conn.Run("SELECT \"Actual\"::text FROM t ORDER BY id");
  ASSERT_EQ(PQntuples(r.get()), static_cast<int>(file_actual.size()));
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    const double mine = std::strtod(PQgetvalue(r.get(), i, 0), nullptr);
    const double theirs = file_actual[static_cast<size_t>(i)][0].number();
    EXPECT_EQ(std::memcmp(&mine, &theirs, sizeof mine), 0) << "row " << i << ": " << mine << " "
                                                            << theirs;
  }
}

}  // namespace
}  // namespace kelda::test
