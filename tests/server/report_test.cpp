// What the tool prints about a run on a server table: the name as given,
// with its password masked, in every report.
#include <gtest/gtest.h>

#include <string>

#include "support/pg_server.h"
#include "support/process.h"
#include "support/temp_db.h"

namespace kelda::test {
namespace {

class ReportTest : public PgServerTest {};

TEST_F(ReportTest, NoReportShowsThePassword) {
  server().Exec(
      "DROP TABLE IF EXISTS r; CREATE TABLE r (id int PRIMARY KEY, a double precision, "
      "y double precision); INSERT INTO r SELECT i, i, 3 * i FROM generate_series(1, 20) i; "
      "ALTER TABLE r OWNER TO " +
      std::string(PgServer::kPasswordUser));
  const std::string uri = server().Uri(PgServer::kPasswordUser, PgServer::kPassword);
  TempDb scratch;
  const std::string network = scratch.File("r.net");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"train", uri, "r", "--epochs", "3", "--seed", "1", "--json",
                                 "--relevance", "--save-network", network},
        std::vector<std::string>{"train", uri, "r", "--epochs", "3", "--seed", "1"},
        std::vector<std::string>{"predict", uri, "r", "--network", network, "--json"},
        std::vector<std::string>{"predict", uri, "r", "--network", network}}) {
    const ProcessResult r = RunProcess(KELDA_BINARY, args);
    ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
    EXPECT_EQ((r.out + r.err).find(PgServer::kPassword), std::string::npos) << r.out << r.err;
  }
}

}  // namespace
}  // namespace kelda::test
