#include "platform/net/URLError.h"

#include <memory>

namespace net {

std::string urlErrorDescription(long code, const std::string& host) {
  switch (code) {
    case URLErrorCancelled: return "cancelled";
    case URLErrorBadURL: return "bad URL";
    case URLErrorTimedOut: return "The request timed out.";
    case URLErrorUnsupportedURL: return "unsupported URL";
    case URLErrorCannotFindHost: return "A server with the specified hostname could not be found.";
    case URLErrorCannotConnectToHost: return "Could not connect to the server.";
    case URLErrorNetworkConnectionLost: return "The network connection was lost.";
    case URLErrorDNSLookupFailed: return "A server with the specified hostname could not be found.";
    case URLErrorHTTPTooManyRedirects: return "too many HTTP redirects";
    case URLErrorResourceUnavailable: return "The requested resource is unavailable.";
    case URLErrorNotConnectedToInternet: return "The Internet connection appears to be offline.";
    case URLErrorRedirectToNonExistentLocation: return "redirect to non-existent location";
    case URLErrorBadServerResponse: return "The server returned a bad response.";
    case URLErrorUserCancelledAuthentication: return "The user cancelled authentication.";
    case URLErrorUserAuthenticationRequired: return "User authentication is required.";
    case URLErrorZeroByteResource: return "zero byte resource";
    case URLErrorCannotDecodeRawData: return "cannot decode raw data";
    case URLErrorCannotDecodeContentData: return "cannot decode content data";
    case URLErrorCannotParseResponse: return "cannot parse response";
    case URLErrorRequestBodyStreamExhausted: return "request body stream exhausted";
    case URLErrorFileDoesNotExist: return "The requested URL was not found on this server.";
    case URLErrorFileIsDirectory: return "file is directory";
    case URLErrorNoPermissionsToReadFile: return "You do not have permission to access the requested resource.";
    case URLErrorDataLengthExceedsMaximum: return "resource exceeds maximum size";
    case URLErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case URLErrorServerCertificateHasBadDate:
      return "The certificate for this server has expired.";
    case URLErrorServerCertificateUntrusted:
      return "The certificate for this server is invalid. You might be connecting to a server that is pretending "
             "to be \u201c" + host + "\u201d which could put your confidential information at risk.";
    case URLErrorServerCertificateHasUnknownRoot: return "The certificate for this server was signed by an unknown certifying authority.";
    case URLErrorServerCertificateNotYetValid: return "The certificate for this server is not yet valid.";
    case URLErrorClientCertificateRejected: return "The server did not accept the certificate.";
    case URLErrorClientCertificateRequired: return "The server requires a client certificate.";
    case URLErrorCannotCreateFile: return "cannot create file";
    case URLErrorCannotOpenFile: return "cannot open file";
    case URLErrorCannotWriteToFile: return "cannot write file";
    case URLErrorCannotMoveFile: return "cannot move file";
    default: return "unknown error";
  }
}

foundation::Error makeURLError(long code, const std::optional<URL>& failingURL,
                               std::shared_ptr<const foundation::Error> underlying) {
  foundation::Dictionary info;
  std::string host = failingURL ? failingURL->host().value_or("") : "";
  info.set(foundation::kLocalizedDescriptionKey, urlErrorDescription(code, host));
  if (failingURL) {
    info.set(kURLErrorFailingURLErrorKey, foundation::Value(std::make_shared<URL>(*failingURL)));
    info.set(kURLErrorFailingURLStringErrorKey, failingURL->absoluteString());
  }
  if (underlying) info.set(foundation::kUnderlyingErrorKey, foundation::Value(std::const_pointer_cast<foundation::Error>(underlying)));
  return foundation::Error(foundation::kURLErrorDomain, code, std::move(info), std::move(underlying));
}

}  // namespace net
