#include "telemetry/core/Internals/Ingestion/TLCollectorIngestion.h"

#include <set>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/String.h"
#include "telemetry/core/Internals/Ingestion/TLHttpUtil.h"
#include "telemetry/core/Internals/Ingestion/TLTicketCache.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Model/TLLogContainer.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "telemetry/core/Internals/Util/TL_Reachability.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr const char* kApiKeyHeader = "apikey";
constexpr const char* kTicketsHeader = "Tickets";

// The ticket keys a log names: those of its protocol extension, for a common-schema log.
std::vector<std::string> ticketKeysOf(const TLLog& log) {
  const auto* commonSchemaLog = dynamic_cast<const TLCommonSchemaLog*>(&log);
  if (!commonSchemaLog || !commonSchemaLog->ext() || !commonSchemaLog->ext()->protocolExt) return {};
  return commonSchemaLog->ext()->protocolExt->ticketKeys.value_or(std::vector<std::string>());
}

// The "Tickets" value: compact JSON of each named key that has a ticket; nothing when none has.
std::optional<std::string> ticketsHeader(const TLLogContainer& container) {
  foundation::Dictionary tickets;
  for (const auto& log : container.logs()) {
    if (!log) continue;
    for (const std::string& key : ticketKeysOf(*log)) {
      if (auto ticket = TLTicketCache::sharedInstance().ticketFor(key)) tickets.set(key, *ticket);
    }
  }
  if (tickets.empty()) return std::nullopt;
  const auto json = foundation::JSONSerialization::dataWithJSONObject(tickets);
  if (!json) return std::nullopt;
  return std::string(json->begin(), json->end());
}

// Every target token of the batch once, joined by ",".
std::string apiKeyHeader(const TLLogContainer& container) {
  std::set<std::string> tokens;
  for (const auto& log : container.logs()) {
    if (!log) continue;
    if (auto logTokens = log->transmissionTargetTokens()) tokens.insert(logTokens->begin(), logTokens->end());
  }
  std::string text;
  for (const auto& token : tokens) {
    if (!text.empty()) text += ",";
    text += token;
  }
  return text;
}

// One compact JSON object per log, each line ending with a line feed.
std::string jsonLines(const TLLogContainer& container) {
  std::string body;
  for (const auto& log : container.logs()) {
    if (!log) continue;
    const auto dictionary = log->serializeToDictionary();
    const auto json = dictionary ? TLUtility::jsonStringFromObject(*dictionary, false) : std::nullopt;
    if (!json) {
      // A line of "(null)" would make the whole batch unreadable to the collector.
      TLLogError(kTLLogTag, "Couldn't serialize log of type '%@' to json, it is left out.", log->type());
      continue;
    }
    body += *json;
    body += '\n';
  }
  return body;
}

}  // namespace

TLCollectorIngestion::TLCollectorIngestion(const std::optional<std::string>& baseURL,
                                           std::vector<double> retryIntervals)
    : TLHttpIngestion(baseURL, foundation::stringWithFormat("%@/%@", "/Collector", "1.0"),
                      {{"Content-Type", "application/x-json-stream; charset=utf-8"},
                       {"Client-Version", foundation::stringWithFormat("Collector-Cpp-no-%@-no", TLUtility::sdkVersion())}},
                      {}, TL_Reachability::reachabilityForInternetConnection(), std::move(retryIntervals),
                      kMaxNumberOfConnections) {}

std::shared_ptr<TLCollectorIngestion> TLCollectorIngestion::create(const std::optional<std::string>& baseURL) {
  return create(baseURL, defaultRetryIntervals());
}

std::shared_ptr<TLCollectorIngestion> TLCollectorIngestion::create(const std::optional<std::string>& baseURL,
                                                                   std::vector<double> retryIntervals) {
  return makeIngestion<TLCollectorIngestion>(baseURL, std::move(retryIntervals));
}

void TLCollectorIngestion::sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> authToken,
                                     TLSendAsyncCompletionHandler handler) {
  if (!isSendable(data)) return refuseInvalidContainer(data, handler);
  const std::string callId = *data->batchId();
  TLHttpIngestion::sendAsync(std::move(data), std::nullopt, std::move(authToken), callId, std::move(handler));
}

std::optional<net::URLRequest> TLCollectorIngestion::createRequest(const std::shared_ptr<TLLogContainer>& data,
                                                                   const std::optional<std::string>&,
                                                                   const std::optional<std::string>&) {
  const TLLogContainer empty;
  const TLLogContainer& container = data ? *data : empty;
  net::URLRequest request;
  request.setURL(sendURL());
  request.setHTTPMethod("POST");
  net::HTTPHeaderFields headers = httpHeaders();
  headers.set(kApiKeyHeader, apiKeyHeader(container));
  headers.set("Upload-Time", foundation::stringWithFormat(
                                 "%lld", static_cast<long long>(TLUtility::nowInMilliseconds())));
  if (auto tickets = ticketsHeader(container)) headers.set(kTicketsHeader, *tickets);
  request.setAllHTTPHeaderFields(std::move(headers));
  const std::string body = jsonLines(container);
  setBody(request, foundation::Data(body.begin(), body.end()));
  request.setHTTPShouldHandleCookies(false);
  logRequest(request);
  return request;
}

std::string TLCollectorIngestion::obfuscateHeaderValue(const std::string& value, const std::string& key) const {
  if (key == kApiKeyHeader) return obfuscateTargetTokens(value);
  if (key == kTicketsHeader) return obfuscateTickets(value);
  return value;
}

std::string TLCollectorIngestion::obfuscateTargetTokens(const std::string& tokens) {
  std::string text;
  for (const auto& token : foundation::componentsSeparatedByString(tokens, ",")) {
    if (!text.empty()) text += ",";
    text += TLHttpUtil::hideSecret(token);
  }
  return text;
}

std::string TLCollectorIngestion::obfuscateTickets(const std::string& tickets) {
  return TLUtility::obfuscateString(tickets, R"(:[^"]+)", ":***").value_or(tickets);
}
