#pragma once
// RLHTTPRequestSerializer turns a method, a URL string and parameters into a URL request. It owns
// the default headers every request gets (Accept-Language from the preferred languages,
// User-Agent naming the application and the system, and whatever the caller adds), copies the
// six request properties the caller has set into each request, puts the parameters of GET, HEAD
// and DELETE into the URL query and those of other methods into a form body, and builds
// streamed multipart requests. The JSON and property-list serializers derive from it and replace
// only the body step.
//
// Parameters are a Value; a null Value means none. The form encoding expresses only a dictionary
// at the top level (anything nested inside it is fine): other parameters fail with
// RLRequestSerializationErrorCannotWriteParameters.
//
// Threads: the header table may be read and written from any thread (writes are queued as
// barriers on "requestHeaderModificationQueue" and run in order; a read sees every write made
// before it). The request properties, the method set, the encoding, the style and the block are
// plain fields: configure the serializer before sharing it. Building requests is thread-safe
// once configured.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "net/callbacks/RLMultipartFormData.h"
#include "net/callbacks/RLURLRequestSerialization.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"

// The built-in form encoding; any other style writes no parameters.
inline constexpr unsigned RLHTTPRequestQueryStringDefaultStyle = 0;

class RLHTTPRequestSerializer : public RLURLRequestSerialization, public foundation::KeyValueObserving {
 public:
  // Builds the query text for `parameters` in place of the style; sets `error` to refuse them.
  using QueryStringSerializationBlock = std::function<std::optional<std::string>(
      const net::URLRequest& request, const foundation::Value& parameters, std::optional<foundation::Error>& error)>;
  // Adds the caller's parts to a multipart request.
  using MultipartFormDataBlock = std::function<void(RLMultipartFormData& formData)>;
  // Told how writing a body stream to a file ended: nothing on success, else the first error.
  using StreamWriteCompletion = std::function<void(std::optional<foundation::Error> error)>;

  // The names of the six request properties that are copied into requests once set, in order.
  static const std::array<std::string_view, 6>& observedRequestPropertyNames();

  // A new serializer, set up as the constructor says.
  static std::shared_ptr<RLHTTPRequestSerializer> serializer();

  // UTF-8, GET/HEAD/DELETE in the URI, the default style, and the default headers
  // "Accept-Language" and "User-Agent".
  RLHTTPRequestSerializer();
  // A serializer set up afresh, then given the archived header table and style. A header value
  // that is not text fails the unarchiving.
  explicit RLHTTPRequestSerializer(foundation::KeyedUnarchiver& coder);
  ~RLHTTPRequestSerializer() override;
  RLHTTPRequestSerializer(const RLHTTPRequestSerializer&) = delete;
  RLHTTPRequestSerializer& operator=(const RLHTTPRequestSerializer&) = delete;

  // ---- Request properties: each setter announces the change (key-value observation under the
  // property's name) and marks the property, so that every later request carries it. Unmarked
  // properties leave the request's own defaults. Nothing clears a mark.
  bool allowsCellularAccess() const { return allowsCellularAccess_; }
  void setAllowsCellularAccess(bool value);
  net::URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(net::URLRequestCachePolicy value);
  bool HTTPShouldHandleCookies() const { return HTTPShouldHandleCookies_; }
  void setHTTPShouldHandleCookies(bool value);
  bool HTTPShouldUsePipelining() const { return HTTPShouldUsePipelining_; }
  void setHTTPShouldUsePipelining(bool value);
  unsigned networkServiceType() const { return networkServiceType_; }
  void setNetworkServiceType(unsigned value);
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds);
  // The names of the properties set so far.
  const std::set<std::string>& observedChangedKeyPaths() const { return observedChangedKeyPaths_; }

  // The encoding of form bodies and multipart text values.
  RLStringEncoding stringEncoding() const { return stringEncoding_; }
  void setStringEncoding(RLStringEncoding encoding) { stringEncoding_ = encoding; }
  // Upper-case methods whose parameters go into the URL query.
  const std::set<std::string>& HTTPMethodsEncodingParametersInURI() const { return methodsInURI_; }
  void setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods) { methodsInURI_ = std::move(methods); }

  // ---- Default headers
  // A snapshot of the default header table.
  net::HTTPHeaderFields HTTPRequestHeaders() const;
  // Sets (or, with nothing, removes) a default header; queued, returns at once.
  void setValue(std::optional<std::string> value, const std::string& field);
  // The default header `field` (any case), or nothing.
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
  // "Authorization" becomes "Basic " and the Base64 of "username:password" (UTF-8).
  void setAuthorizationHeaderFieldWithUsername(const std::string& username, const std::string& password);
  void clearAuthorizationHeader();

  // ---- Query text
  unsigned queryStringSerializationStyle() const { return queryStringStyle_; }
  // Uses `style` and forgets any block.
  void setQueryStringSerializationWithStyle(unsigned style);
  // Uses `block` in place of the style until a style is set again.
  void setQueryStringSerializationWithBlock(QueryStringSerializationBlock block);

  // ---- Requests
  // A request for `method` (kept as written) and `URLString` (parsed alone, not resolved; a
  // string that is no URL gives a request without URL) with the set properties and `parameters`
  // applied by requestBySerializingRequest. Nothing, with *error, when that refuses them.
  std::optional<net::URLRequest> requestWithMethod(const std::string& method, const std::string& URLString,
                                                   const foundation::Value& parameters,
                                                   foundation::Error* error = nullptr) const;
  // `request` with the default headers it lacks and the parameters as a query (URI methods, the
  // query put before any fragment) or as a form body (others; an empty body and the form
  // Content-Type even without parameters). Nothing, with *error, when the block refuses the
  // parameters or they are not a dictionary for the built-in style.
  std::optional<net::URLRequest> requestBySerializingRequest(const net::URLRequest& request,
                                                             const foundation::Value& parameters,
                                                             foundation::Error* error) const override;
  // A multipart request: the parameters as form fields (flattened and named as in a query), then
  // the parts `block` adds, as a streamed body with its Content-Type and Content-Length. Nothing,
  // with *error, when the parameters are not a dictionary or any append was refused, so no form
  // goes out without a part it was meant to hold.
  std::optional<net::URLRequest> multipartFormRequestWithMethod(const std::string& method, const std::string& URLString,
                                                                const foundation::Value& parameters,
                                                                const MultipartFormDataBlock& block,
                                                                foundation::Error* error = nullptr) const;
  // A copy of `request` without its body stream, returned at once; the stream is written to the
  // file at `fileURL` (replaced) on a background queue, and `completion` (if any) is then called
  // on the main queue with nothing or the first error. Every byte is written or the error says
  // why; a URL that is no file URL fails.
  net::URLRequest requestWithMultipartFormRequest(const net::URLRequest& request, const net::URL& fileURL,
                                                  StreamWriteCompletion completion) const;

  // ---- Archiving and copying: the header table and the style are kept; the block, the method
  // set, the encoding and the request properties are not (a copy keeps the block too).
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  std::shared_ptr<RLURLRequestSerialization> copy() const override;

 protected:
  // Gives `target` (freshly made) this serializer's header table, style and block.
  void copyConfigurationInto(RLHTTPRequestSerializer& target) const;
  // A copy of `request` with each default header it does not carry.
  net::URLRequest requestWithDefaultHeaders(const net::URLRequest& request) const;
  // Whether the request's method, upper-cased, puts parameters in the URI.
  bool encodesParametersInURI(const net::URLRequest& request) const;
  // The body step of serializers that write the parameters as one document: URI methods as this
  // class does; others get the default headers and, with parameters, `contentType` (unless one
  // is set) and the body `write` gives. When `write` gives nothing (setting *error), so does this.
  using DocumentWriter = std::function<std::optional<foundation::Data>(foundation::Error* error)>;
  std::optional<net::URLRequest> requestWithDocumentBody(const net::URLRequest& request,
                                                         const foundation::Value& parameters,
                                                         const std::string& contentType, const DocumentWriter& write,
                                                         foundation::Error* error) const;

 private:
  struct HeaderTable;

  template <class T>
  void setObserved(const char* key, T& field, T value);
  void replaceHeaders(net::HTTPHeaderFields headers);

  bool allowsCellularAccess_ = true;
  bool HTTPShouldHandleCookies_ = true;
  bool HTTPShouldUsePipelining_ = false;
  RLStringEncoding stringEncoding_ = RLStringEncoding::UTF8;
  net::URLRequestCachePolicy cachePolicy_ = net::URLRequestCachePolicy::UseProtocolCachePolicy;
  unsigned networkServiceType_ = 0;
  double timeoutInterval_ = net::URLRequest::kDefaultTimeoutInterval;
  std::set<std::string> methodsInURI_{"GET", "HEAD", "DELETE"};
  std::set<std::string> observedChangedKeyPaths_;
  std::vector<foundation::KeyValueObserving::ObserverToken> observations_;
  std::shared_ptr<HeaderTable> headers_;
  std::shared_ptr<dispatch::Queue> requestHeaderModificationQueue_;
  unsigned queryStringStyle_ = RLHTTPRequestQueryStringDefaultStyle;
  QueryStringSerializationBlock queryStringSerialization_;
};
