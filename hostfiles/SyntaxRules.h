#pragma once
// SyntaxRules is the line-level check of hostfile text that HostGroup's isValidSyntax offers: every
// line that is neither blank nor a comment must begin with an IPv4 or IPv6 address, white space
// and at least one more non-blank character. It is deliberately coarse: IPv4 parts may exceed
// 255, and IPv6 is written out in four to eight groups. A compressed or zoned IPv6 address (one
// holding "::", as "::1" and "fe80::1%lo0") passes when the editor's IP validator accepts it,
// so the check never rejects what the editor shows as valid; IPv4-mapped forms are rejected.
//
// The two patterns below (case-insensitive, "^" anchored at the line's start) are matched by a
// hand-written scanner with the same meaning, because the check runs over whole hosts files on
// every apply and a regular-expression engine per line is far slower. Pure functions; safe from
// any thread.
#include <optional>
#include <string>
#include <string_view>

class SyntaxRules {
 public:
  static constexpr std::string_view kIPv4LinePattern =
      "^[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\s+\\S+";
  static constexpr std::string_view kIPv6LinePattern = "^([a-f0-9]{1,4}:){3,7}[a-f0-9]{1,4}\\s+\\S+";

  // The verdict on a hostfile's contents: true when absent; otherwise the text is split at every
  // "\n" and each line must pass isValidLine. Stops at the first line that fails.
  static bool isValidSyntax(const std::optional<std::string>& contents);
  static bool isValidSyntax(std::string_view contents);
  static bool isValidSyntax(const std::string& contents) { return isValidSyntax(std::string_view(contents)); }

  // One line (without its "\n"): trimmed of white space and line ends, it is empty, begins with
  // "#", matches one of the two patterns, or begins with a compressed or zoned IPv6 address that
  // IP accepts (the run up to the first blank or tab), white space and a non-blank character.
  // The patterns see only as many UTF-16 units of the trimmed line as it has user-perceived
  // characters.
  static bool isValidLine(std::string_view line);
};
