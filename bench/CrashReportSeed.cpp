// Writes a complete crash report file, made the way the crash-time writer makes it, to the path
// given: the seed of the crash report fuzzer's corpus.
#include <cstdio>
#include <fstream>

#include "tests/crash/engine/ReportEncoder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s output-file\n", argv[0]);
    return 2;
  }
  const auto bytes = test::encodeReportFile(test::sampleReport());
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return out ? 0 : 1;
}
