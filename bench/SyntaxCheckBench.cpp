// Syntax-checks a generated set of hostfiles of 200,000 lines in all, the way the shell checks
// every enabled hostfile before an apply, and validates each line's address the way the editor's
// highlighter does. For comparison it also runs the same line rule through the regular-expression
// engine. Prints timings; asserts nothing.
//
//   bench_hostfiles [lines] [hostfiles] [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "hostfiles/IP.h"
#include "hostfiles/SyntaxRules.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/String.h"

namespace {

// One line of a typical block list or development hosts file.
std::string makeLine(std::mt19937& random, std::size_t index) {
  switch (random() % 20) {
    case 0: return "";
    case 1: return "# section " + std::to_string(index);
    case 2: return "0:0:0:0:0:0:0:1 host" + std::to_string(index) + ".ip6.test";
    case 3: return "127.0.0.1\tcaf\xc3\xa9-" + std::to_string(index) + ".test  # non-ASCII name\r";
    default: {
      std::string line = std::to_string(random() % 256) + "." + std::to_string(random() % 256) + "." +
                         std::to_string(random() % 256) + "." + std::to_string(random() % 256);
      return line + " ads" + std::to_string(index) + ".example.test www.ads" + std::to_string(index) + ".example.test";
    }
  }
}

std::vector<std::string> makeHostfiles(std::size_t lines, std::size_t files) {
  std::mt19937 random(42);
  std::vector<std::string> hostfiles(files);
  for (std::size_t i = 0; i < lines; ++i) hostfiles[i % files] += makeLine(random, i) + "\n";
  return hostfiles;
}

double seconds(const std::function<void()>& work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* name, double total, int rounds, std::size_t lines, std::size_t verdicts) {
  double each = total / rounds;
  std::printf("%-34s %9.2f ms per round  %12.0f lines/s  (%zu accepted)\n", name, each * 1e3, lines / each, verdicts);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t lines = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const std::size_t files = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  if (lines == 0 || files == 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: bench_hostfiles [lines > 0] [hostfiles > 0] [rounds > 0]\n");
    return 2;
  }
  const auto hostfiles = makeHostfiles(lines, files);
  std::size_t bytes = 0;
  for (const auto& text : hostfiles) bytes += text.size();
  std::printf("%zu lines in %zu hostfiles, %zu bytes, %d rounds\n", lines, files, bytes, rounds);

  std::size_t valid = 0;
  double scan = seconds([&] {
    for (int r = 0; r < rounds; ++r) {
      for (const auto& text : hostfiles) valid += SyntaxRules::isValidSyntax(text);
    }
  });
  report("syntax check (hostfiles valid)", scan, rounds, lines, valid / rounds);

  std::size_t addresses = 0;
  double highlight = seconds([&] {
    for (int r = 0; r < rounds; ++r) {
      for (const auto& text : hostfiles) {
        foundation::enumerateLines(text, [&](std::string_view line, bool&) {
          std::size_t end = line.find_first_of(" \t");
          if (end == std::string_view::npos || line.empty() || line[0] == '#') return;
          IP ip(line);
          ip.setRange({0, end});
          addresses += ip.isValid();
        });
      }
    }
  });
  report("address validation per line", highlight, rounds, lines, addresses / rounds);

  using foundation::RegularExpression;
  auto v4 = RegularExpression::create(SyntaxRules::kIPv4LinePattern, RegularExpression::CaseInsensitive);
  auto v6 = RegularExpression::create(SyntaxRules::kIPv6LinePattern, RegularExpression::CaseInsensitive);
  std::size_t matched = 0;
  double engine = seconds([&] {
    for (const auto& text : hostfiles) {
      // Lines split at "\n" only, as the rule splits them; a carriage return stays with its line.
      for (const auto& line : foundation::componentsSeparatedByString(text, "\n")) {
        std::string trimmed = foundation::trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        foundation::Range window{0, foundation::composedCharacterCount(trimmed)};
        matched += v4->numberOfMatches(trimmed, 0, window) == 1 || v6->numberOfMatches(trimmed, 0, window) == 1;
      }
    }
  });
  report("same rule through the regex engine", engine, 1, lines, matched);
  return 0;
}
