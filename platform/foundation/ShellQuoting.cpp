#include "platform/foundation/ShellQuoting.h"

namespace foundation {

std::string shellQuoted(std::string_view word) {
  std::string quoted;
  quoted.reserve(word.size() + 2);
  quoted += '\'';
  for (char c : word) {
    // Inside single quotes nothing is special but the closing quote itself, so close the
    // quoted run, add an escaped quote, and reopen.
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string escapedForScriptStringLiteral(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace foundation
