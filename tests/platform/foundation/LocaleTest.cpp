#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/foundation/Locale.h"

using foundation::Locale;

namespace {

TEST(Locale, PreferredLanguagesFromEnvironment) {
  using V = std::vector<std::string>;
  struct Case {
    Locale::Environment environment;
    V expected;
  };
  const std::vector<Case> cases = {
      {{}, {"en"}},
      {{{"LANG", "de_DE.UTF-8"}}, {"de-DE"}},
      {{{"LANG", "C"}}, {"en"}},
      {{{"LANG", "POSIX"}}, {"en"}},
      {{{"LANG", "C.UTF-8"}}, {"en"}},
      {{{"LANGUAGE", "fr_CA:fr:en_GB"}, {"LANG", "de_DE.UTF-8"}}, {"fr-CA", "fr", "en-GB", "de-DE"}},
      {{{"LC_ALL", "pt_BR.UTF-8"}, {"LC_MESSAGES", "ja_JP"}, {"LANG", "de_DE"}}, {"pt-BR"}},
      {{{"LC_ALL", ""}, {"LC_MESSAGES", "ja_JP.eucJP"}, {"LANG", "de_DE"}}, {"ja-JP"}},
      {{{"LANGUAGE", "de::de_DE"}, {"LANG", "de_DE.UTF-8"}}, {"de", "de-DE"}},
      {{{"LANG", "sr_RS@latin"}}, {"sr-Latn-RS"}},
      {{{"LANG", "es_419.UTF-8"}}, {"es-419"}},
      {{{"LANG", "EN_us"}}, {"en-US"}},
      {{{"LANGUAGE", "not a locale:x:1234:de_DEU"}, {"LANG", "garbage value"}}, {"en"}},
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& [k, v] : c.environment) label += k + "=" + v + " ";
    EXPECT_EQ(Locale::preferredLanguages(c.environment), c.expected) << label;
  }
}

TEST(Locale, CurrentLocaleIdentifier) {
  struct Case {
    Locale::Environment environment;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, "en_US_POSIX"},
      {{{"LANG", "de_DE.UTF-8"}}, "de_DE"},
      {{{"LC_ALL", "C"}, {"LANG", "de_DE"}}, "en_US_POSIX"},
      {{{"LC_MESSAGES", "fr_FR@euro"}}, "fr_FR"},
      {{{"LANGUAGE", "it"}, {"LANG", "nl_NL"}}, "nl_NL"},
      {{{"LANG", "%%%"}}, "en_US_POSIX"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Locale::currentLocaleIdentifier(c.environment), c.expected);
  }
}

TEST(Locale, ReadsTheProcessEnvironment) {
  setenv("LANGUAGE", "nb_NO:nn", 1);
  setenv("LANG", "en_GB.UTF-8", 1);
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"nb-NO", "nn", "en-GB"}));
  EXPECT_EQ(Locale::currentLocaleIdentifier(), "en_GB");
  unsetenv("LANGUAGE");
  unsetenv("LANG");
  EXPECT_EQ(Locale::preferredLanguages(), (std::vector<std::string>{"en"}));
}

}  // namespace
