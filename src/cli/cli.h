// The command line: parses the arguments, runs the command and turns its
// outcome into the exit status.
#pragma once

#include "cli/commands.h"

namespace kelda::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitRunError = 1;  // a run-time or database error
inline constexpr int kExitUsage = 2;     // arguments the tool does not accept
// Stopped by a signal (SIGINT, SIGTERM): this plus the signal's number, as a
// shell reports a process the signal ended.
inline constexpr int kExitSignalBase = 128;

// Runs `kelda ARGS...`: argv[0] is the program name. Help goes to
// console.out; usage errors, and errors as "kelda: error N: text", to
// console.err. SIGINT and SIGTERM stop a command at its next check (see
// cli/interrupt.h) with error 18 and exit status kExitSignalBase + signal;
// an import that has committed its table ends with success all the same.
int RunCli(int argc, const char* const* argv, Console& console);

}  // namespace kelda::cli
