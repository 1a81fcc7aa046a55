// kelda: trains a network on a database table, predicts with a saved one,
// and shows both on a sample database.
#include <unistd.h>

#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
  kelda::cli::Console console{std::cout, std::cerr, ::isatty(STDOUT_FILENO) == 1,
                              ::isatty(STDERR_FILENO) == 1};
  return kelda::cli::RunCli(argc, argv, console);
}
