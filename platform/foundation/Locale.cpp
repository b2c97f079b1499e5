#include "platform/foundation/Locale.h"

#include <algorithm>

#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/String.h"

namespace foundation {

namespace {

struct Parts {
  std::string language, script, region;
};

bool allOf(std::string_view s, bool (*test)(char)) {
  return !s.empty() && std::all_of(s.begin(), s.end(), test);
}
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isPOSIX(std::string_view name) { return name == "C" || name == "POSIX"; }

// Splits "ll_RR.codeset@modifier" into its language, script (from the modifier) and region.
std::optional<Parts> split(std::string_view name) {
  std::string_view modifier;
  if (const auto at = name.find('@'); at != std::string_view::npos) {
    modifier = name.substr(at + 1);
    name = name.substr(0, at);
  }
  if (const auto dot = name.find('.'); dot != std::string_view::npos) name = name.substr(0, dot);
  std::string_view region;
  if (const auto sep = name.find_first_of("_-"); sep != std::string_view::npos) {
    region = name.substr(sep + 1);
    name = name.substr(0, sep);
  }
  if (name.size() < 2 || name.size() > 3 || !allOf(name, isLetter)) return std::nullopt;
  const bool regionOK = region.empty() || (region.size() == 2 && allOf(region, isLetter)) ||
                        (region.size() == 3 && allOf(region, isDigit));
  if (!regionOK) return std::nullopt;
  Parts parts{lowercase(name), {}, uppercase(region)};
  if (modifier == "latin") parts.script = "Latn";
  if (modifier == "cyrillic") parts.script = "Cyrl";
  return parts;
}

std::string join(const Parts& parts, char separator) {
  std::string out = parts.language;
  for (const std::string* part : {&parts.script, &parts.region}) {
    if (!part->empty()) out += separator + *part;
  }
  return out;
}

std::string value(const Locale::Environment& environment, const char* name) {
  const auto found = environment.find(name);
  return found == environment.end() ? std::string() : found->second;
}

// The locale in effect for messages: LC_ALL overrides LC_MESSAGES, which overrides LANG.
std::string messagesLocale(const Locale::Environment& environment) {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string v = value(environment, name);
    if (!v.empty()) return v;
  }
  return {};
}

}  // namespace

std::optional<std::string> Locale::languageIdentifier(std::string_view posixLocale) {
  const std::string_view base = posixLocale.substr(0, posixLocale.find_first_of(".@"));
  if (isPOSIX(base)) return "en";
  const auto parts = split(posixLocale);
  if (!parts) return std::nullopt;
  return join(*parts, '-');
}

Locale::Components Locale::componentsFromLocaleIdentifier(std::string_view identifier) {
  const std::vector<std::string> parts = componentsSeparatedByCharactersInSet(identifier, CharacterSet::withCharactersInString("-_"));
  Components components;
  std::size_t next = 0;
  if (next < parts.size()) components.language = parts[next++];
  if (next < parts.size() && parts[next].size() == 4 && allOf(parts[next], isLetter)) components.script = parts[next++];
  if (next < parts.size() && ((parts[next].size() == 2 && allOf(parts[next], isLetter)) ||
                              (parts[next].size() == 3 && allOf(parts[next], isDigit)))) {
    components.country = parts[next];
  }
  return components;
}

std::vector<std::string> Locale::preferredLanguages(const Environment& environment) {
  std::vector<std::string> candidates = componentsSeparatedByString(value(environment, "LANGUAGE"), ":");
  candidates.push_back(messagesLocale(environment));
  std::vector<std::string> out;
  for (const std::string& candidate : candidates) {
    const auto identifier = languageIdentifier(candidate);
    if (identifier && std::find(out.begin(), out.end(), *identifier) == out.end()) {
      out.push_back(*identifier);
    }
  }
  if (out.empty()) out.push_back("en");
  return out;
}

std::vector<std::string> Locale::preferredLanguages() {
  return preferredLanguages(ProcessInfo::processInfo().environment());
}

std::string Locale::currentLocaleIdentifier(const Environment& environment) {
  const std::string name = messagesLocale(environment);
  const std::string_view base = std::string_view(name).substr(0, name.find_first_of(".@"));
  if (name.empty() || isPOSIX(base)) return "en_US_POSIX";
  const auto parts = split(name);
  return parts ? join(*parts, '_') : "en_US_POSIX";
}

std::string Locale::currentLocaleIdentifier() {
  return currentLocaleIdentifier(ProcessInfo::processInfo().environment());
}

}  // namespace foundation
