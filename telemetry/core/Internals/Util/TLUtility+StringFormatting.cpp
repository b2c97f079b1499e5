#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"


#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/String.h"
#include "platform/security/Crypto.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr std::string_view kAppSecretKey = "appsecret=";
constexpr std::string_view kTargetKey = "target=";

std::string removingAll(std::string_view text, std::string_view part) {
  std::string result;
  for (const std::string& piece : foundation::componentsSeparatedByString(text, part)) result += piece;
  return result;
}

}  // namespace

namespace TLUtility {

std::optional<std::string> stringFromUTF8Data(const foundation::Data& bytes) {
  // Foundation decodes anything but UTF-8 with replacement characters, so only valid text comes
  // back unchanged from a round trip.
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (foundation::utf8(foundation::utf16(text)) != text) return std::nullopt;
  return std::string(text);
}

std::string sha256(std::string_view string) {
  return security::sha256Hex(string.substr(0, string.find('\0')));
}

std::optional<std::string> appSecretFrom(std::optional<std::string_view> secretString) {
  if (!secretString) return std::nullopt;
  for (const std::string& part : foundation::componentsSeparatedByString(*secretString, ";")) {
    if (part.empty() || foundation::containsString(part, kTargetKey)) continue;
    std::string secret = removingAll(part, kAppSecretKey);
    if (!secret.empty()) return secret;
  }
  return std::nullopt;
}

std::optional<std::string> transmissionTargetTokenFrom(std::optional<std::string_view> secretString) {
  if (!secretString) return std::nullopt;
  for (const std::string& part : foundation::componentsSeparatedByString(*secretString, ";")) {
    if (part.empty() || !foundation::containsString(part, kTargetKey)) continue;
    std::string token = removingAll(part, kTargetKey);
    if (!token.empty()) return token;
  }
  return std::nullopt;
}

std::optional<std::string> targetKeyFromTargetToken(std::optional<std::string_view> token) {
  if (!token) return std::nullopt;
  std::string key(token->substr(0, token->find('-')));
  if (key.empty()) return std::nullopt;
  return key;
}

std::optional<std::string> iKeyFromTargetToken(std::optional<std::string_view> token) {
  std::optional<std::string> key = targetKeyFromTargetToken(token);
  if (!key) return std::nullopt;
  return "o:" + *key;
}

std::optional<std::string> jsonStringFromObject(const foundation::Value& object, bool prettyPrinted,
                                                foundation::Error* error) {
  unsigned options = foundation::JSONWritingWithoutEscapingSlashes;
  if (prettyPrinted) options |= foundation::JSONWritingPrettyPrinted;
  std::optional<foundation::Data> data = foundation::JSONSerialization::dataWithJSONObject(object, options, error);
  if (!data) return std::nullopt;
  return std::string(data->begin(), data->end());
}

std::optional<std::string> prettyPrintJson(const std::optional<foundation::Data>& data) {
  if (!data) return std::nullopt;
  std::optional<foundation::Value> object =
      foundation::JSONSerialization::JSONObjectWithData(*data, foundation::JSONReadingMutableContainers);
  if (!object) return stringFromUTF8Data(*data);
  std::optional<std::string> pretty = jsonStringFromObject(*object, true);
  if (!pretty || pretty->empty()) return stringFromUTF8Data(*data);
  return pretty;
}

std::optional<std::string> obfuscateString(std::optional<std::string_view> string, std::string_view pattern,
                                           std::string_view replacementTemplate) {
  if (!string) return std::nullopt;
  foundation::Error error;
  const auto expression =
      foundation::RegularExpression::create(pattern, foundation::RegularExpression::CaseInsensitive, &error);
  if (!expression) {
    TLLogError(kTLLogTag, "Couldn't create regular expression with pattern\"%@\": %@", pattern,
               error.localizedDescription());
    return std::nullopt;
  }
  return expression->stringByReplacingMatches(*string, replacementTemplate);
}

}  // namespace TLUtility
