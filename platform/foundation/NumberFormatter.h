#pragma once
// Number spell-out through ICU's rule-based formatter: 3 gives "three" in English and "drei" in
// German. The platform's number formatter is otherwise not needed by the program.
#include <string>
#include <string_view>

namespace foundation {

// `value` written out in words in the language of `localeIdentifier` ("en", "de-DE" or "de_DE").
// An unknown locale falls back to ICU's root rules; should ICU fail outright, the decimal digits
// are returned, so the result is never empty. Safe from any thread.
std::string spellOut(long value, std::string_view localeIdentifier = "en");

}  // namespace foundation
