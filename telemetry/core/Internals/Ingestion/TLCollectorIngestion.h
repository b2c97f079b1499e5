#pragma once
// TLCollectorIngestion sends batches of common-schema logs to the collector: one POST to the base
// URL + "/Collector/1.0" whose body holds one JSON object per line, with the target tokens of the
// batch in "apikey", the upload time, and the authentication tickets its logs name (from
// TLTicketCache) in "Tickets". Bodies of 1400 bytes or more are gzipped. Always ready to send.
// Thread-safe.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/core/Internals/Ingestion/TLHttpIngestion.h"

class TLCollectorIngestion : public TLHttpIngestion {
 public:
  static constexpr std::int64_t kMaxNumberOfConnections = 2;

  // An ingestion for `baseURL`, watching the internet connection, with the default retry table.
  static std::shared_ptr<TLCollectorIngestion> create(const std::optional<std::string>& baseURL);
  // The same with another retry table (seconds per retry).
  static std::shared_ptr<TLCollectorIngestion> create(const std::optional<std::string>& baseURL,
                                                      std::vector<double> retryIntervals);

  // Refuses a missing or invalid container (or one without a batch id) at once with error code 1
  // through the handler; otherwise sends it under its batch id as call id.
  void sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> authToken,
                 TLSendAsyncCompletionHandler handler) override;
  using TLHttpIngestion::sendAsync;

  // "apikey" through obfuscateTargetTokens, "Tickets" through obfuscateTickets; others unchanged.
  std::string obfuscateHeaderValue(const std::string& value, const std::string& key) const override;
  // Each comma-separated token with all but its last 8 characters masked.
  static std::string obfuscateTargetTokens(const std::string& tokens);
  // Every ticket's text after its own colon replaced by "***"; the keys stay.
  static std::string obfuscateTickets(const std::string& tickets);

 protected:
  TLCollectorIngestion(const std::optional<std::string>& baseURL, std::vector<double> retryIntervals);
  friend class TLHttpIngestion;

  // The POST of the container's logs as JSON lines; the eTag and the auth token take no part.
  std::optional<net::URLRequest> createRequest(const std::shared_ptr<TLLogContainer>& data,
                                               const std::optional<std::string>& eTag,
                                               const std::optional<std::string>& authToken) override;
};
