// The README's example of a server table, run as it stands against a
// throwaway server reached through libpq's environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "support/pg_server.h"
#include "support/process.h"

namespace kelda::test {
namespace {

// The first ```sh block of the README's section `heading`.
std::string ShellBlock(const std::string& heading) {
  std::ifstream in(KELDA_README);
  std::stringstream text;
  text << in.rdbuf();
  const std::string readme = text.str();
  const size_t section = readme.find("\n## " + heading + "\n");
  if (section == std::string::npos) return {};
  const size_t start = readme.find("```sh\n", section);
  const size_t next = readme.find("\n## ", section + 1);
  if (start == std::string::npos || start > next) return {};
  const size_t end = readme.find("\n```\n", start);
  return readme.substr(start + 6, end - start - 5);
}

class ReadmeTest : public PgServerTest {};

TEST_F(ReadmeTest, TheServerTableExampleRunsAndPredictsTheLastRow) {
  const std::string block = ShellBlock("Tables in PostgreSQL");
  ASSERT_NE(block, "");
  const std::string tool_dir =
      std::string(KELDA_BINARY).substr(0, std::string(KELDA_BINARY).rfind('/'));
  // The cluster's socket has libpq's default port in its name.
  const kelda::test::Environment environment = {{"PGHOST", server().dir()},
                                                {"PGUSER", "postgres"},
                                                {"PATH", tool_dir + ":" + std::getenv("PATH")}};
  const ProcessResult r = RunProcess("sh", {"-e", "-c", block}, environment);
  ASSERT_EQ(r.status, 0) << r.err;
  // Every row with its prediction; the last, which has no price, predicted
  // within the prices the examples span.
  const std::regex row(R"((\d+)\|(\d*)\|(\d+)\n)");
  int rows = 0;
  int last_prediction = -1;
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), row), end; it != end; ++it) {
    ++rows;
    if ((*it)[2].str().empty()) last_prediction = std::stoi((*it)[3].str());
  }
  EXPECT_EQ(rows, 8) << r.out;
  EXPECT_GT(last_prediction, 150) << r.out;
  EXPECT_LT(last_prediction, 380) << r.out;
}

}  // namespace
}  // namespace kelda::test
