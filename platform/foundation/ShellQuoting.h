#pragma once
// Quoting helpers for building the privileged command: one makes any text a single shell word,
// the other escapes text for the body of a "do shell script" string literal, which the
// AppleScript runner unescapes again. Used together they carry paths holding quotes or
// backslashes through both layers unchanged, so such a path can neither break the command nor
// inject into the root shell.
#include <string>
#include <string_view>

namespace foundation {

// `word` as one POSIX shell word: wrapped in single quotes, each "'" written as '\''. The result
// expands to exactly `word` (any bytes but NUL, which no shell word can carry). Pure; thread-safe.
std::string shellQuoted(std::string_view word);

// `text` escaped for the inside of a script string literal: "\" becomes "\\" and '"' becomes "\"";
// everything else, line ends included, is kept as it is. The caller adds the enclosing quotes.
// Pure; thread-safe.
std::string escapedForScriptStringLiteral(std::string_view text);

}  // namespace foundation
