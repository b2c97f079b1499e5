#include "platform/net/URLSessionConfiguration.h"

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

namespace net {
namespace {

// How an archive records a storage: none, the process's shared one, or a private one.
enum StorageKind : std::int64_t { kNoStorage = 0, kSharedStorage = 1, kPrivateStorage = 2 };

template <class Storage>
std::int64_t storageKind(const std::shared_ptr<Storage>& storage) {
  if (!storage) return kNoStorage;
  return storage == Storage::shared() ? kSharedStorage : kPrivateStorage;
}

template <class Storage>
std::shared_ptr<Storage> storageOfKind(std::int64_t kind) {
  if (kind == kSharedStorage) return Storage::shared();
  if (kind == kPrivateStorage) return std::make_shared<Storage>();
  return nullptr;
}

}  // namespace

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
  URLSessionConfiguration c;
  c.httpCookieStorage = HTTPCookieStorage::shared();
  c.urlCredentialStorage = URLCredentialStorage::shared();
  return c;
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
  URLSessionConfiguration c;
  c.httpCookieStorage = std::make_shared<HTTPCookieStorage>();
  c.urlCredentialStorage = std::make_shared<URLCredentialStorage>();
  return c;
}

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfiguration(std::string identifier) {
  URLSessionConfiguration c = defaultSessionConfiguration();
  c.identifier = std::move(identifier);
  return c;
}

URLSessionConfiguration::URLSessionConfiguration(foundation::KeyedUnarchiver& coder) {
  identifier = coder.decodeStringForKey("identifier");
  const auto headers = coder.decodeObjectOfClass(foundation::ArchiveClass::Dictionary, "HTTPAdditionalHeaders");
  for (const auto& [name, value] : headers.dictionaryValue()) {
    if (!value.isString()) {
      coder.failWithError(foundation::Error::withDescription(foundation::kCocoaErrorDomain,
                                                             foundation::kCoderReadCorruptError,
                                                             "An archived header value is not text."));
      return;
    }
    httpAdditionalHeaders.set(name, value.stringValue());
  }
  timeoutIntervalForRequest = coder.decodeDoubleForKey("timeoutIntervalForRequest");
  timeoutIntervalForResource = coder.decodeDoubleForKey("timeoutIntervalForResource");
  httpMaximumConnectionsPerHost = coder.decodeIntegerForKey("HTTPMaximumConnectionsPerHost");
  httpShouldSetCookies = coder.decodeBoolForKey("HTTPShouldSetCookies");
  httpCookieAcceptPolicy = static_cast<HTTPCookieAcceptPolicy>(coder.decodeIntegerForKey("HTTPCookieAcceptPolicy"));
  httpCookieStorage = storageOfKind<HTTPCookieStorage>(coder.decodeIntegerForKey("HTTPCookieStorage"));
  urlCredentialStorage = storageOfKind<URLCredentialStorage>(coder.decodeIntegerForKey("URLCredentialStorage"));
  requestCachePolicy = static_cast<URLRequestCachePolicy>(coder.decodeIntegerForKey("requestCachePolicy"));
  allowsCellularAccess = coder.decodeBoolForKey("allowsCellularAccess");
  httpShouldUsePipelining = coder.decodeBoolForKey("HTTPShouldUsePipelining");
  waitsForConnectivity = coder.decodeBoolForKey("waitsForConnectivity");
}

void URLSessionConfiguration::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(identifier, "identifier");
  coder.encodeObject(foundation::Value(httpAdditionalHeaders.dictionary()), "HTTPAdditionalHeaders");
  coder.encodeDouble(timeoutIntervalForRequest, "timeoutIntervalForRequest");
  coder.encodeDouble(timeoutIntervalForResource, "timeoutIntervalForResource");
  coder.encodeInteger(httpMaximumConnectionsPerHost, "HTTPMaximumConnectionsPerHost");
  coder.encodeBool(httpShouldSetCookies, "HTTPShouldSetCookies");
  coder.encodeInteger(static_cast<std::int64_t>(httpCookieAcceptPolicy), "HTTPCookieAcceptPolicy");
  coder.encodeInteger(storageKind(httpCookieStorage), "HTTPCookieStorage");
  coder.encodeInteger(storageKind(urlCredentialStorage), "URLCredentialStorage");
  coder.encodeInteger(static_cast<std::int64_t>(requestCachePolicy), "requestCachePolicy");
  coder.encodeBool(allowsCellularAccess, "allowsCellularAccess");
  coder.encodeBool(httpShouldUsePipelining, "HTTPShouldUsePipelining");
  coder.encodeBool(waitsForConnectivity, "waitsForConnectivity");
}

namespace {

// Registered when this file is linked in, which every program that makes a session does.
const bool kConfigurationArchivable =
    foundation::CodingRegistry::registerClass<URLSessionConfiguration>("NSURLSessionConfiguration", "", true);

}  // namespace

}  // namespace net
