#pragma once
// StringExtended holds the small character tests and the trim that the hostfile code asks of
// strings: whether a text is all decimal digits, whether it is all hexadecimal digits, and the
// text without surrounding white space. Each has a UTF-8 form and a UTF-16 form (the IP validator
// works on UTF-16 units); ASCII text never leaves its bytes. Pure functions; safe from any thread.
#include <string>
#include <string_view>

class StringExtended {
 public:
  // False for the empty string; else whether every UTF-16 unit is a decimal digit of some script
  // (the platform's decimal-digit set: "0" to "9", but also for example Arabic-Indic digits). A
  // digit outside the BMP takes two units, neither of which is a digit, so it gives false.
  static bool holdsIntegerValue(std::string_view text);
  static bool holdsIntegerValue(std::u16string_view text);

  // True for the empty string; else whether every unit of the lower-cased text, over as many
  // positions as the original has units, is one of "0123456789abcdef". Upper-case hex digits pass.
  static bool holdsHexadecimalValue(std::string_view text);
  static bool holdsHexadecimalValue(std::u16string_view text);

  // The text without leading and trailing white space and line ends (the platform's
  // whitespace-and-newline set).
  static std::string trim(std::string_view text);
};
