#pragma once
// TLTelemetryIngestion sends log containers to the ingestion service's log endpoint: one JSON
// container per call, POSTed to the base URL + "/logs?api-version=1.0.0" with the install id and
// the app secret in headers, and a bearer token when one is given. Bodies of 1400 bytes or more
// are gzipped. It builds no request until the app secret is set. Thread-safe.
#include <memory>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Ingestion/TLHttpIngestion.h"

class TLTelemetryIngestion : public TLHttpIngestion {
 public:
  // An ingestion for `baseURL` that sends `installId` with every request, watching the internet
  // connection, with the default retry table and 4 connections per host.
  static std::shared_ptr<TLTelemetryIngestion> create(const std::optional<std::string>& baseURL,
                                                      const std::string& installId);
  // The same with another retry table (seconds per retry).
  static std::shared_ptr<TLTelemetryIngestion> create(const std::optional<std::string>& baseURL,
                                                      const std::string& installId,
                                                      std::vector<double> retryIntervals);

  // Refuses a missing or invalid container (or one without a batch id) at once with error code 1
  // through the handler; otherwise sends it under its batch id as call id, so a batch still
  // pending is sent again rather than twice.
  void sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> authToken,
                 TLSendAsyncCompletionHandler handler) override;
  using TLHttpIngestion::sendAsync;

  // YES once the app secret is set.
  bool isReadyToSend() const override;
  std::optional<std::string> appSecret() const;
  void setAppSecret(std::optional<std::string> appSecret);

  // "Authorization" prints as "Bearer ***", "App-Secret" with all but its last 8 characters
  // masked; others unchanged.
  std::string obfuscateHeaderValue(const std::string& value, const std::string& key) const override;

 protected:
  TLTelemetryIngestion(const std::optional<std::string>& baseURL, const std::string& installId,
                       std::vector<double> retryIntervals);
  friend class TLHttpIngestion;

  // POST of the container's JSON; nothing, with an ERROR line, while there is no app secret.
  std::optional<net::URLRequest> createRequest(const std::shared_ptr<TLLogContainer>& data,
                                               const std::optional<std::string>& eTag,
                                               const std::optional<std::string>& authToken) override;

 private:
  std::optional<std::string> appSecret_;
};
