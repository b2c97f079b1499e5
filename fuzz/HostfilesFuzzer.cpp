// libFuzzer target of the hostfile model: the compiler's block and merge, the syntax check and
// the IP validator with the editor's line spans. The input is a hosts file, then hostfile texts,
// separated by NUL bytes. Invariants:
// - merging the block into its own output gives that output again, and the output holds the
//   block and ends in a line feed;
// - the syntax check's scanner gives the verdict of the two patterns run by the regular-
//   expression engine (and of the validator, for compressed addresses), line by line;
// - every span of a line, and every invalid range the validator reports, lies inside its line
//   (inside the examined range, for the validator), and the validator's flags agree with its
//   verdict.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/LineHighlighting.h"
#include "fuzz/FuzzSupport.h"
#include "hostfiles/Compiler.h"
#include "hostfiles/IP.h"
#include "hostfiles/SyntaxRules.h"
#include "platform/foundation/String.h"
#include "tests/hostfiles/SyntaxRulesReference.h"

namespace {

// Lines longer than this are left to the scanner alone: the reference engine's time grows with
// them, and the scanner's line logic does not.
constexpr std::size_t kReferenceLineLimit = 512;

void writeSeeds(fuzz::SeedWriter& seeds) {
  seeds.write("markers", std::string("127.0.0.1 localhost\n# QUILLMERE START\nold\n# QUILLMERE STOP\n::1 localhost\n") +
                             '\0' + "10.0.0.1 a\n0.0.0.0 ads.example" + '\0' + "fe80::1%lo0 link");
  seeds.write("line-endings", std::string("a\r\nb\r# QUILLMERE START\r\n\r") + '\0' + "x\r" + '\0' + "y\r\n");
  seeds.write("unclosed", std::string("keep\n# QUILLMERE START\nlost\n") + '\0' + "2001:db8:0:0:0:0:0:1 six");
  seeds.write("addresses",
              "256.1.1.1 bad-part\n1.2.3.4#comment\n::ffff:1.2.3.4 mapped\n1:2:3:4:5:6:7:8:9 nine\n"
              "\t 10.0.0.1\tName.Upper host-\n2001:db8::zz:1 one-bad\n\xd9\xa1.2.3.4 arabic\n");
}

void checkMerge(std::string_view hosts, const std::vector<std::optional<std::string>>& texts) {
  const std::string block = Compiler::compileBlock(texts);
  const std::string once = Compiler::mergeBlock(hosts, block);
  fuzz::check(!once.empty() && once.back() == '\n', "the merged text ends in a line feed");
  fuzz::check(once.find(block) != std::string::npos, "the merged text holds the block");
  fuzz::check(Compiler::mergeBlock(once, block) == once, "merging the output again changes nothing");
}

void checkSyntax(std::string_view text) {
  bool allValid = true;
  for (const auto& line : foundation::componentsSeparatedByString(text, "\n")) {
    const bool verdict = SyntaxRules::isValidLine(line);
    if (line.size() <= kReferenceLineLimit) {
      fuzz::check(verdict == syntax_reference::lineVerdict(line), "the syntax scanner agrees with the patterns on a line");
    }
    allValid = allValid && verdict;
  }
  fuzz::check(SyntaxRules::isValidSyntax(text) == allValid, "the text's verdict is its lines' verdict");
}

void checkValidator(const std::u16string& line, foundation::Range range) {
  IP ip{line};
  ip.setRange(range);
  const foundation::Range examined{range.location, std::min(range.length, line.size() - range.location)};
  const foundation::Range invalid = ip.invalidRange();
  fuzz::check(invalid.location <= examined.length && invalid.length <= examined.length - invalid.location,
              "the invalid range lies inside the examined range");
  fuzz::check(!(ip.isVersion4() && ip.isVersion6()), "an address is not both versions");
  fuzz::check(!ip.isVersion4() || ip.isValid(), "a version-4 address is valid");
  // The empty range is the one whose "whole range" verdict is empty too, so it counts as valid.
  fuzz::check(!ip.isValid() || ip.isVersion4() || ip.isVersion6() || examined.length == 0,
              "a valid address has a version");
}

void checkLine(std::string_view line8) {
  const std::u16string line = foundation::utf16(line8);
  for (const auto& span : app::spansForLine(line)) {
    fuzz::check(span.length > 0, "a span is not empty");
    fuzz::check(span.location < line.size() && span.length <= line.size() - span.location,
                "a span lies inside its line");
  }
  checkValidator(line, {0, line.size()});
  if (line.size() > 1) checkValidator(line, {1, line.size() - 1});
  const std::size_t blank = line.find_first_of(u" \t");
  if (blank != std::u16string::npos) checkValidator(line, {0, blank});
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::initialize(writeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto pieces = fuzz::split(fuzz::text(data, size), '\0', 6);
  std::vector<std::optional<std::string>> texts;
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    // An empty piece stands for a hostfile without contents, which adds no line.
    texts.push_back(pieces[i].empty() ? std::nullopt : std::optional<std::string>(pieces[i]));
  }
  checkMerge(pieces[0], texts);
  checkSyntax(pieces[0]);
  for (const auto& line : foundation::componentsSeparatedByString(pieces[0], "\n")) checkLine(line);
  return 0;
}
