// Times the built-in filters in process over the files named on the command
// line: legacy_throughput FILTER ROUNDS FILE...  Prints the seconds taken, so
// that bench/legacy.sh can compare the filters' own cost with the peers'
// whole runs apart from the program's start-up.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "convert/filters/builtin.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s FILTER ROUNDS FILE...\n", argv[0]);
    return 2;
  }
  int rounds = std::atoi(argv[2]);
  std::size_t bytes = 0;
  auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < rounds; ++r) {
    for (int i = 3; i < argc; ++i) {
      quarn::TextSink sink;
      quarn::ExtractWithBuiltin(argv[1], argv[i], sink);
      bytes += sink.size();
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f\n", seconds);
  std::fprintf(stderr, "%zu bytes of text\n", bytes);
  return 0;
}
