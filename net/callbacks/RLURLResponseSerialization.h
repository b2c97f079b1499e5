#pragma once
// RLURLResponseSerialization is the protocol by which a session manager holds its response
// serializer: an object that validates a finished response and turns its body into the response
// object handed to the caller. RLHTTPResponseSerializer is the family's base: it checks the
// status code and the MIME type and returns the body unchanged; the JSON, XML, property-list,
// image and compound serializers derive from it.
//
// Errors of the family are in the domain "com.relay.error.serialization.response": -1016 for an
// unacceptable MIME type, -1011 for an unacceptable status. Each carries the response, its URL
// and (when there was one) the body, and may chain an earlier error as its underlying error.
//
// A serializer holds no state during a call, so one instance may serve several calls in
// parallel; its configuration (sets, options) is to be finished before it is handed to a session
// manager, as its setters take no lock.
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/IndexSet.h"
#include "net/callbacks/RLOptionalData.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLResponse.h"

inline constexpr const char* RLURLResponseSerializationErrorDomain = "com.relay.error.serialization.response";
// User-info keys of the family's errors: the URL response object, and the body data.
inline constexpr const char* RLNetworkingOperationFailingURLResponseErrorKey =
    "com.relay.serialization.response.error.response";
inline constexpr const char* RLNetworkingOperationFailingURLResponseDataErrorKey =
    "com.relay.serialization.response.error.data";

using RLURLResponsePtr = std::shared_ptr<const net::URLResponse>;
// An error out-parameter: null when the caller wants no error; else it receives an error or
// nothing, as each operation says.
using RLErrorOut = std::optional<foundation::Error>*;

class RLURLResponseSerialization : public foundation::Coding {
 public:
  // The response object for `response` (null for none) and its body `data` (nothing for nil):
  // data, a parsed value or an object, or null. Errors go to *error (when given) as the class
  // says; an object may come back together with an error, and the caller decides which counts.
  // Safe to call from several threads at once.
  virtual foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                                      RLErrorOut error) const = 0;
  // A new serializer of the same class and configuration; the caller owns it.
  virtual std::shared_ptr<RLURLResponseSerialization> copy() const = 0;
  // The family archives under secure coding.
  static bool supportsSecureCoding() { return true; }
};

// `error` with `underlying` chained under it: `underlying` when there is no `error`; `error`
// unchanged when there is no `underlying` or it already has an underlying error; otherwise a copy
// of `error` whose underlying error is `underlying`.
std::optional<foundation::Error> RLErrorWithUnderlyingError(const std::optional<foundation::Error>& error,
                                                            const std::optional<foundation::Error>& underlying);
// Whether `error` or any error under it has `code` in `domain`.
bool RLErrorOrUnderlyingErrorHasCodeInDomain(const std::optional<foundation::Error>& error, long code,
                                             const std::string& domain);

class RLHTTPResponseSerializer : public RLURLResponseSerialization {
 public:
  // Acceptable status codes 200 to 299, any content type.
  RLHTTPResponseSerializer();
  // Rebuilds an archived serializer: the defaults, then the archived status codes (key
  // "acceptableStatusCodes") and content types ("acceptableContentTypes"); an absent key leaves
  // that check off. A value of the wrong kind fails the unarchiving.
  explicit RLHTTPResponseSerializer(foundation::KeyedUnarchiver& coder);

  // A new serializer made with the constructor above.
  static std::shared_ptr<RLHTTPResponseSerializer> serializer();

  // Status codes that pass; nothing turns the status check off.
  const std::optional<foundation::IndexSet>& acceptableStatusCodes() const { return acceptableStatusCodes_; }
  void setAcceptableStatusCodes(std::optional<foundation::IndexSet> codes) { acceptableStatusCodes_ = std::move(codes); }
  // MIME types that pass; nothing turns the MIME check off.
  const std::optional<std::set<std::string>>& acceptableContentTypes() const { return acceptableContentTypes_; }
  void setAcceptableContentTypes(std::optional<std::set<std::string>> types) { acceptableContentTypes_ = std::move(types); }

  // Whether `response` passes. A missing or non-HTTP response always passes. Otherwise the MIME
  // type must be acceptable (a missing MIME type with an empty body passes too), and, when the
  // response has a URL, so must the status. A response that fails stores in *error (when given)
  // the last error made (-1011 for the status, with the MIME error under it; -1016 for the MIME
  // type, made only for a non-empty body and a response with a URL), or nothing when none was
  // made. A response that passes leaves *error as it was.
  virtual bool validateResponse(const RLURLResponsePtr& response, const RLOptionalData& data, RLErrorOut error) const;

  // Validates (the verdict is ignored) and returns the body as it came: data sharing its bytes,
  // or null for nil.
  foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                              RLErrorOut error) const override;
  // An RLHTTPResponseSerializer with copies of both sets. A subclass overrides it to copy as its
  // own class (see copyBaseInto).
  std::shared_ptr<RLURLResponseSerialization> copy() const override;
  // Writes both sets (nil when off) under their keys.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

 protected:
  // The base part of copy(): both sets into `target`.
  void copyBaseInto(RLHTTPResponseSerializer& target) const;
  // The gate of the parsing serializers: validates, and answers whether to go on parsing. It
  // stops when validation failed and either no error was asked for or the error (or one under
  // it) is the unacceptable MIME type; a failed status goes on, its error left in place.
  bool shouldParseAfterValidating(const RLURLResponsePtr& response, const RLOptionalData& data, RLErrorOut error) const;
  // An error of the family with `code` and `message`, carrying the response, its URL (when there
  // is a response) and the body (when there is one).
  static foundation::Error makeResponseError(long code, std::string message, const RLURLResponsePtr& response,
                                             const RLOptionalData& data);

 private:
  std::optional<foundation::IndexSet> acceptableStatusCodes_;
  std::optional<std::set<std::string>> acceptableContentTypes_;
};
