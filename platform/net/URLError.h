#pragma once
// URL loading errors: the platform's URL error domain codes and user-info keys, and the one
// place that builds such errors with their descriptions, so every failure of the URL session
// reads the same way whoever reports it.
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/URL.h"

namespace net {

// Codes of foundation::kURLErrorDomain, with the platform's values.
enum URLErrorCode : long {
  URLErrorUnknown = -1,
  URLErrorCancelled = -999,
  URLErrorBadURL = -1000,
  URLErrorTimedOut = -1001,
  URLErrorUnsupportedURL = -1002,
  URLErrorCannotFindHost = -1003,
  URLErrorCannotConnectToHost = -1004,
  URLErrorNetworkConnectionLost = -1005,
  URLErrorDNSLookupFailed = -1006,
  URLErrorHTTPTooManyRedirects = -1007,
  URLErrorResourceUnavailable = -1008,
  URLErrorNotConnectedToInternet = -1009,
  URLErrorRedirectToNonExistentLocation = -1010,
  URLErrorBadServerResponse = -1011,
  URLErrorUserCancelledAuthentication = -1012,
  URLErrorUserAuthenticationRequired = -1013,
  URLErrorZeroByteResource = -1014,
  URLErrorCannotDecodeRawData = -1015,
  URLErrorCannotDecodeContentData = -1016,
  URLErrorCannotParseResponse = -1017,
  URLErrorRequestBodyStreamExhausted = -1021,
  URLErrorFileDoesNotExist = -1100,
  URLErrorFileIsDirectory = -1101,
  URLErrorNoPermissionsToReadFile = -1102,
  URLErrorDataLengthExceedsMaximum = -1103,
  URLErrorSecureConnectionFailed = -1200,
  URLErrorServerCertificateHasBadDate = -1201,
  URLErrorServerCertificateUntrusted = -1202,
  URLErrorServerCertificateHasUnknownRoot = -1203,
  URLErrorServerCertificateNotYetValid = -1204,
  URLErrorClientCertificateRejected = -1205,
  URLErrorClientCertificateRequired = -1206,
  URLErrorCannotLoadFromNetwork = -2000,
  URLErrorCannotCreateFile = -3000,
  URLErrorCannotOpenFile = -3001,
  URLErrorCannotCloseFile = -3002,
  URLErrorCannotWriteToFile = -3003,
  URLErrorCannotRemoveFile = -3004,
  URLErrorCannotMoveFile = -3005,
};

// User-info keys of URL errors, with the platform's texts.
inline constexpr const char* kURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr const char* kURLErrorFailingURLPeerTrustErrorKey = "NSURLErrorFailingURLPeerTrustErrorKey";
inline constexpr const char* kURLSessionDownloadTaskResumeData = "NSURLSessionDownloadTaskResumeData";

// The platform's description of `code` ("cancelled", "The request timed out.", ...). `host`
// fills the certificate texts that name the server.
std::string urlErrorDescription(long code, const std::string& host = {});

// An error in the URL domain with `code`, its description and, when given, the failing URL
// under the failing-URL keys and an underlying error (for example the transport's own).
foundation::Error makeURLError(long code, const std::optional<URL>& failingURL = std::nullopt,
                               std::shared_ptr<const foundation::Error> underlying = nullptr);

}  // namespace net
