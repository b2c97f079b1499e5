#include "telemetry/core/Internals/Ingestion/TLTelemetryIngestion.h"

#include "telemetry/core/Internals/Ingestion/TLHttpUtil.h"
#include "telemetry/core/Internals/Model/TLLogContainer.h"
#include "telemetry/core/Internals/Util/TL_Reachability.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr const char* kApiPath = "/logs";
constexpr const char* kAppSecretHeader = "App-Secret";
constexpr const char* kAuthorizationHeader = "Authorization";

}  // namespace

TLTelemetryIngestion::TLTelemetryIngestion(const std::optional<std::string>& baseURL, const std::string& installId,
                                           std::vector<double> retryIntervals)
    : TLHttpIngestion(baseURL, kApiPath, {{"Content-Type", "application/json"}, {"Install-ID", installId}},
                      {{"api-version", "1.0.0"}}, TL_Reachability::reachabilityForInternetConnection(),
                      std::move(retryIntervals), kDefaultMaxNumberOfConnections) {}

std::shared_ptr<TLTelemetryIngestion> TLTelemetryIngestion::create(const std::optional<std::string>& baseURL,
                                                                   const std::string& installId) {
  return create(baseURL, installId, defaultRetryIntervals());
}

std::shared_ptr<TLTelemetryIngestion> TLTelemetryIngestion::create(const std::optional<std::string>& baseURL,
                                                                   const std::string& installId,
                                                                   std::vector<double> retryIntervals) {
  return makeIngestion<TLTelemetryIngestion>(baseURL, installId, std::move(retryIntervals));
}

void TLTelemetryIngestion::sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> authToken,
                                     TLSendAsyncCompletionHandler handler) {
  if (!isSendable(data)) return refuseInvalidContainer(data, handler);
  const std::string callId = *data->batchId();
  TLHttpIngestion::sendAsync(std::move(data), std::nullopt, std::move(authToken), callId, std::move(handler));
}

bool TLTelemetryIngestion::isReadyToSend() const {
  std::lock_guard guard(lock());
  return appSecret_.has_value();
}

std::optional<std::string> TLTelemetryIngestion::appSecret() const {
  std::lock_guard guard(lock());
  return appSecret_;
}

void TLTelemetryIngestion::setAppSecret(std::optional<std::string> appSecret) {
  std::lock_guard guard(lock());
  appSecret_ = std::move(appSecret);
}

std::optional<net::URLRequest> TLTelemetryIngestion::createRequest(const std::shared_ptr<TLLogContainer>& data,
                                                                   const std::optional<std::string>&,
                                                                   const std::optional<std::string>& authToken) {
  if (!appSecret_) {
    TLLogError(kTLLogTag, "Telemetry ingestion is used without app secret.");
    return std::nullopt;
  }
  net::URLRequest request;
  request.setURL(sendURL());
  request.setHTTPMethod("POST");
  request.setAllHTTPHeaderFields(httpHeaders());
  request.setValue(*appSecret_, kAppSecretHeader);
  if (authToken && !authToken->empty()) request.setValue("Bearer " + *authToken, kAuthorizationHeader);
  const std::string json = data ? data->serializeLog().value_or("") : std::string();
  setBody(request, foundation::Data(json.begin(), json.end()));
  request.setHTTPShouldHandleCookies(false);
  logRequest(request);
  return request;
}

std::string TLTelemetryIngestion::obfuscateHeaderValue(const std::string& value, const std::string& key) const {
  if (key == kAuthorizationHeader) return TLHttpUtil::hideAuthToken(value);
  if (key == kAppSecretHeader) return TLHttpUtil::hideSecret(value);
  return value;
}
