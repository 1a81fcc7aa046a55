// kelda: the command-line tool.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "demo") == 0) {
    std::puts("kelda: the demo is not built yet");
    return 0;
  }
  std::fputs("usage: kelda demo [DIR]\n", stderr);
  return 2;
}
