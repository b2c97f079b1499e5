#pragma once
// Locale stands in for the platform's locale queries that the program makes: the user's ordered
// preferred languages and the current locale's identifier, both read from the POSIX locale
// environment (LANGUAGE, LC_ALL, LC_MESSAGES, LANG). Locale formatting itself is left to ICU
// users such as NumberFormatter. Every function is safe from any thread that does not race
// setenv().
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

class Locale {
 public:
  using Environment = std::map<std::string, std::string>;

  // Language identifiers, most preferred first, without repeats: each entry of LANGUAGE (a colon
  // list), then the locale in effect for messages (the first non-empty of LC_ALL, LC_MESSAGES,
  // LANG). "de_DE.UTF-8" gives "de-DE"; "C" and "POSIX" give "en"; unusable entries are skipped.
  // ["en"] when nothing usable is set.
  static std::vector<std::string> preferredLanguages();
  static std::vector<std::string> preferredLanguages(const Environment& environment);

  // The identifier of the locale in effect, in the platform's underscore form ("de_DE");
  // "en_US_POSIX" for the C and POSIX locales or when none is set.
  static std::string currentLocaleIdentifier();
  static std::string currentLocaleIdentifier(const Environment& environment);

  // The parts of a locale or language identifier ("zh-Hans-CN", "de_DE", "en_US_POSIX"): its
  // language code, its script code (four letters) and its country code (two letters or three
  // digits), each empty when absent; what follows the country is ignored.
  struct Components {
    std::string language, script, country;
  };
  static Components componentsFromLocaleIdentifier(std::string_view identifier);

  // One POSIX locale name as a language identifier: "pt_BR.UTF-8" gives "pt-BR", "sr_RS@latin"
  // gives "sr-Latn-RS", "C.UTF-8" gives "en". nullopt for empty or malformed names.
  static std::optional<std::string> languageIdentifier(std::string_view posixLocale);
};

}  // namespace foundation
