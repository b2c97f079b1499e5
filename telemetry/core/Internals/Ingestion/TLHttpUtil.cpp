#include "telemetry/core/Internals/Ingestion/TLHttpUtil.h"

#include <random>

#include "platform/foundation/CharacterSet.h"
#include "platform/foundation/String.h"
#include "platform/net/URLError.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"

namespace TLHttpUtil {

bool isRecoverableError(std::int64_t statusCode) {
  return statusCode == 0 || statusCode == 408 || statusCode == 429 || statusCode >= 500;
}

bool isSuccessStatusCode(std::int64_t statusCode) { return statusCode >= 200 && statusCode <= 299; }

bool isNoInternetConnectionError(const foundation::Error& error) {
  return error.domain() == foundation::kURLErrorDomain &&
         (error.code() == net::URLErrorNotConnectedToInternet || error.code() == net::URLErrorNetworkConnectionLost);
}

bool isSSLConnectionError(const foundation::Error& error) {
  return error.domain() == foundation::kURLErrorDomain && error.code() >= net::URLErrorCannotLoadFromNetwork &&
         error.code() <= net::URLErrorSecureConnectionFailed;
}

std::uint32_t jitteredDelay(std::uint32_t half) {
  if (half == 0) return 0;
  thread_local std::mt19937 generator{std::random_device{}()};
  return half + std::uniform_int_distribution<std::uint32_t>(0, half - 1)(generator);
}

std::string hideSecret(std::string_view secret) {
  constexpr std::size_t kVisible = 8;
  const std::size_t length = foundation::length16(secret);
  if (length <= kVisible) return std::string(length, '*');
  return std::string(length - kVisible, '*') + foundation::substringFrom16(secret, length - kVisible);
}

std::string hideAuthToken(std::string_view token) {
  const auto parts =
      foundation::componentsSeparatedByCharactersInSet(token, foundation::CharacterSet::whitespace());
  if (parts.size() <= 1) return "***";
  return parts.front() + " ***";
}

std::string prettyPrintHeaders(const net::HTTPHeaderFields& headers,
                               const std::function<std::string(const std::string&, const std::string&)>& obfuscate) {
  std::string text;
  for (const auto& [key, value] : headers) {
    if (!text.empty()) text += ", ";
    text += key + " = " + obfuscate(value, key);
  }
  return text;
}

std::optional<std::string> printablePayload(const std::shared_ptr<const net::HTTPURLResponse>& response,
                                            const std::optional<foundation::Data>& data) {
  if (!data || data->empty()) return std::nullopt;
  const std::string contentType =
      response ? response->valueForHTTPHeaderField("Content-Type").value_or("") : std::string();
  std::optional<std::string> payload;
  if (foundation::hasPrefix(contentType, "application/json")) {
    payload = TLUtility::prettyPrintJson(data);
  } else if (contentType.empty() || foundation::hasPrefix(contentType, "text/") ||
             foundation::hasPrefix(contentType, "application/")) {
    payload = TLUtility::stringFromUTF8Data(*data);
  } else {
    return "<binary>";
  }
  payload = TLUtility::obfuscateString(payload, R"("token"\s*:\s*"[^"]+")", R"("token" : "***")");
  return TLUtility::obfuscateString(payload, R"("redirect_uri"\s*:\s*"[^"]+")", R"("redirect_uri" : "***")");
}

}  // namespace TLHttpUtil
