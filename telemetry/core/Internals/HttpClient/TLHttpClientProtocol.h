#pragma once
// TLHttpClientProtocol is the core's general sending path: any URL, method, headers and body,
// with retries of recoverable failures, pausing while the network is down, and a switch that
// cancels everything pending.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URL.h"
#include "platform/net/URLResponse.h"

// Told the final outcome of a request: the response body or nothing, the HTTP response or null,
// the error or nothing.
using TLHttpRequestCompletionHandler =
    std::function<void(std::optional<foundation::Data> data, std::shared_ptr<const net::HTTPURLResponse> response,
                       std::optional<foundation::Error> error)>;

class TLHttpClientProtocol {
 public:
  virtual ~TLHttpClientProtocol() = default;
  // Sends a request; `handler` hears its final outcome exactly once.
  virtual void sendAsync(const net::URL& url, const std::string& method,
                         const std::optional<net::HTTPHeaderFields>& headers,
                         const std::optional<foundation::Data>& data, TLHttpRequestCompletionHandler handler) = 0;
  virtual void pause() = 0;
  virtual void resume() = 0;
  virtual void setEnabled(bool isEnabled) = 0;
};
