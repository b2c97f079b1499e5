#pragma once
// URLSessionConfiguration stands in for the platform's session configuration: the settings a
// URL session is made with. A plain value; a session copies it at creation, so later changes to
// the caller's copy do not reach the session. It can be archived, under the platform's class
// name, so that a client archiving itself keeps the settings its session was made with.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Coding.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URLCredentialStorage.h"
#include "platform/net/URLRequest.h"

namespace net {

class URLSessionConfiguration : public foundation::Coding {
 public:
  // Settings as below, without storages; prefer the factories.
  URLSessionConfiguration() = default;
  // Rebuilds an archived configuration (see encodeWithCoder). A header value that is not text
  // fails the unarchiving.
  explicit URLSessionConfiguration(foundation::KeyedUnarchiver& coder);

  // The default configuration: the shared cookie and credential storages.
  static URLSessionConfiguration defaultSessionConfiguration();
  // An ephemeral configuration: private, in-memory cookie and credential storages of its own.
  static URLSessionConfiguration ephemeralSessionConfiguration();
  // A configuration carrying `identifier`. Linux has no background transfer service, so such a
  // session runs its tasks in the process like a default one.
  static URLSessionConfiguration backgroundSessionConfiguration(std::string identifier);

  std::optional<std::string> identifier;
  // Headers added to every request that does not set the same field itself.
  HTTPHeaderFields httpAdditionalHeaders;
  // Seconds without progress before a request times out (used when the request's own timeout
  // is zero or less); 60.
  double timeoutIntervalForRequest = 60.0;
  // Seconds a whole task may take; 7 days.
  double timeoutIntervalForResource = 604800.0;
  // Connections open at once to one host; 6.
  long httpMaximumConnectionsPerHost = 6;
  bool httpShouldSetCookies = true;
  HTTPCookieAcceptPolicy httpCookieAcceptPolicy = HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain;
  std::shared_ptr<HTTPCookieStorage> httpCookieStorage;
  std::shared_ptr<URLCredentialStorage> urlCredentialStorage;
  URLRequestCachePolicy requestCachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
  // Carried for callers; no effect on Linux.
  bool allowsCellularAccess = true;
  bool httpShouldUsePipelining = false;
  // Whether the session waits for connectivity instead of failing at once; carried only.
  bool waitsForConnectivity = false;

  // Writes every setting. Storages cannot be archived: each is written as whether it is the
  // shared one, and a decoded configuration gets the shared storage where the archived one had
  // it and a new, empty private one where it had a private one.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  static bool supportsSecureCoding() { return true; }
};

}  // namespace net
