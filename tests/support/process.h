// Test support: running a program as a shell runs it, and reading back what
// it printed.
#pragma once

#include <string>
#include <vector>

namespace kelda::test {

struct ProcessResult {
  int status = -1;  // the exit status; -1 when it did not exit normally (a signal)
  std::string out;
  std::string err;
};

// Runs `program` with `args` (each passed as one word) through the shell,
// stdin from /dev/null, stdout and stderr captured. `environment`, when
// given, stands first on the command line ("env NAME=value ").
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& environment = "");

// The whole content of the file `path`; "" when it cannot be read. Not for a
// database file this process has a connection to (see TempDb::WriteFile).
std::string FileText(const std::string& path);

}  // namespace kelda::test
