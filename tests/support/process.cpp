#include "support/process.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/temp_db.h"

namespace kelda::test {
namespace {

std::string ShellQuoted(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& environment) {
  const TempDb scratch;
  std::string command = environment + ShellQuoted(program);
  for (const std::string& a : args) command += " " + ShellQuoted(a);
  command += " >" + ShellQuoted(scratch.File("out")) + " 2>" + ShellQuoted(scratch.File("err")) +
             " </dev/null";
  const int raw = std::system(command.c_str());
  ProcessResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = FileText(scratch.File("out"));
  r.err = FileText(scratch.File("err"));
  return r;
}

}  // namespace kelda::test
