#include "net/callbacks/RLQueryStringPair.h"

#include <algorithm>
#include <utility>

#include "platform/foundation/Set.h"
#include "platform/foundation/String.h"
#include "platform/net/PercentEncoding.h"

namespace {

// Escaping goes in batches of this many UTF-16 units, widened to whole characters.
constexpr std::size_t kBatchLength = 50;

const net::URLAllowedCharacters& allowedInQueryValues() {
  // The query characters without the general and sub-delimiters that would end or split a pair:
  // letters, digits, "-", ".", "_", "~", "/" and "?" remain.
  static const net::URLAllowedCharacters allowed =
      net::URLAllowedCharacters::urlQueryAllowed().removing(":#[]@").removing("!$&'()*+,;=");
  return allowed;
}

// `values` in ascending order of their descriptions, compared by UTF-16 units; ties keep their order.
std::vector<foundation::Value> sortedByDescription(std::vector<foundation::Value> values) {
  std::vector<std::pair<std::string, foundation::Value>> keyed;
  keyed.reserve(values.size());
  for (auto& value : values) keyed.emplace_back(RLQueryStringDescription(value), std::move(value));
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return foundation::compare(a.first, b.first) == foundation::OrderedAscending;
  });
  std::vector<foundation::Value> sorted;
  sorted.reserve(keyed.size());
  for (auto& entry : keyed) sorted.push_back(std::move(entry.second));
  return sorted;
}

// A missing key prints as the platform prints nil in a format.
std::string keyText(const foundation::Value& key) { return key.isNull() ? "(null)" : RLQueryStringDescription(key); }

void appendPairs(const foundation::Value& key, const foundation::Value& value, std::vector<RLQueryStringPair>& pairs) {
  if (value.isDictionary()) {
    const foundation::Dictionary& dictionary = value.dictionaryValue();
    std::vector<foundation::Value> keys;
    keys.reserve(dictionary.size());
    for (const auto& [name, unused] : dictionary) keys.emplace_back(name);
    for (const auto& nested : sortedByDescription(std::move(keys))) {
      const std::string& name = nested.stringValue();
      const foundation::Value* nestedValue = dictionary.find(name);
      if (!nestedValue) continue;
      appendPairs(key.isNull() ? nested : foundation::Value(keyText(key) + "[" + name + "]"), *nestedValue, pairs);
    }
    return;
  }
  if (value.isArray()) {
    const foundation::Value name(keyText(key) + "[]");
    for (const auto& element : value.arrayValue()) appendPairs(name, element, pairs);
    return;
  }
  if (auto set = value.objectAs<foundation::Set>()) {
    for (const auto& member : sortedByDescription(set->allObjects())) appendPairs(key, member, pairs);
    return;
  }
  pairs.emplace_back(key, value);
}

}  // namespace

std::string RLQueryStringDescription(const foundation::Value& object) {
  if (object.isString()) return object.stringValue();
  return object.description();
}

std::string RLPercentEscapedStringFromString(std::string_view string) {
  const auto& allowed = allowedInQueryValues();
  // ASCII text has no characters that a batch could split.
  if (foundation::isASCII(string)) return net::addingPercentEncoding(string, allowed);

  const std::u16string units = foundation::utf16(string);
  const std::u16string_view view(units);
  std::string escaped;
  std::size_t index = 0;
  while (index < units.size()) {
    const std::size_t length = std::min(units.size() - index, kBatchLength);
    // Whole characters only, so a surrogate pair or a letter with its marks is never split.
    const foundation::Range range = foundation::rangeOfComposedCharacterSequencesForRange(view, {index, length});
    if (range.length == 0) break;
    escaped += net::addingPercentEncoding(foundation::utf8(view.substr(range.location, range.length)), allowed);
    index = range.end();
  }
  return escaped;
}

std::string RLQueryStringPair::URLEncodedStringValue() const {
  const std::string name = field.isNull() ? std::string() : RLQueryStringDescription(field);
  if (value.isNull()) return RLPercentEscapedStringFromString(name);
  return RLPercentEscapedStringFromString(name) + "=" + RLPercentEscapedStringFromString(RLQueryStringDescription(value));
}

std::string RLQueryStringFromParameters(const foundation::Value& parameters) {
  std::string query;
  bool first = true;
  for (const auto& pair : RLQueryStringPairsFromKeyAndValue(foundation::Value(), parameters)) {
    if (!first) query += '&';
    first = false;
    query += pair.URLEncodedStringValue();
  }
  return query;
}

std::vector<RLQueryStringPair> RLQueryStringPairsFromDictionary(const foundation::Dictionary& dictionary) {
  return RLQueryStringPairsFromKeyAndValue(foundation::Value(), foundation::Value(dictionary));
}

std::vector<RLQueryStringPair> RLQueryStringPairsFromKeyAndValue(const foundation::Value& key,
                                                                const foundation::Value& value) {
  std::vector<RLQueryStringPair> pairs;
  appendPairs(key, value, pairs);
  return pairs;
}
