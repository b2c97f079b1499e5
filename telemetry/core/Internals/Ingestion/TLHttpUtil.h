#pragma once
// TLHttpUtil holds the tests every HTTP path of the telemetry core shares: which status codes
// succeed or may be retried, which transport errors mean the network (or its security) failed,
// how secrets are masked in log output, and how a response is printed in verbose logs. Stateless
// and thread-safe.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLResponse.h"

namespace TLHttpUtil {

// True for 0 (no response), 408, 429 and every code of 500 or more.
bool isRecoverableError(std::int64_t statusCode);
// True for 200 to 299.
bool isSuccessStatusCode(std::int64_t statusCode);
// True for URL-domain errors -1009 (not connected) and -1005 (connection lost).
bool isNoInternetConnectionError(const foundation::Error& error);
// True for URL-domain errors from -2000 to -1200, both included.
bool isSSLConnectionError(const foundation::Error& error);

// A retry delay: `half` plus a uniformly random integer in [0, half) (0 when `half` is 0), so
// clients that failed together do not retry together.
std::uint32_t jitteredDelay(std::uint32_t half);

// `secret` with every character but the last 8 replaced by "*"; 8 characters or fewer become all
// "*" (same length). Characters are UTF-16 units.
std::string hideSecret(std::string_view secret);
// "***" for a value without whitespace; otherwise its first word followed by " ***", so a bearer
// authorization prints as "Bearer ***".
std::string hideAuthToken(std::string_view token);

// "key = value" for each header, each value passed through `obfuscate` (value, key) first, the
// pairs joined by ", ".
std::string prettyPrintHeaders(const net::HTTPHeaderFields& headers,
                               const std::function<std::string(const std::string& value, const std::string& key)>& obfuscate);

// The response body as verbose logs show it: nothing for no or an empty body; pretty-printed JSON
// for "application/json..."; the text for a missing or empty type, "text/..." or "application/...";
// "<binary>" otherwise. Values of "token" and "redirect_uri" are masked.
std::optional<std::string> printablePayload(const std::shared_ptr<const net::HTTPURLResponse>& response,
                                            const std::optional<foundation::Data>& data);

}  // namespace TLHttpUtil
