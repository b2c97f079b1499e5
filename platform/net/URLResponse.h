#pragma once
// URLResponse and HTTPURLResponse stand in for the platform's response objects: the metadata of
// a loaded resource (URL, MIME type, text encoding name, expected length, suggested file name)
// and, for HTTP, the status code and header fields. Immutable once made; share them freely
// across threads (they travel as std::shared_ptr<const URLResponse>).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URL.h"

namespace net {

// The platform's "length unknown" value of expectedContentLength.
inline constexpr std::int64_t kURLResponseUnknownLength = -1;

class URLResponse : public foundation::Object {
 public:
  URLResponse(URL url, std::optional<std::string> mimeType, std::int64_t expectedContentLength,
              std::optional<std::string> textEncodingName);
  ~URLResponse() override;

  const URL& url() const { return url_; }
  // The media type, lower-cased and without parameters ("text/html"); nothing when unknown.
  const std::optional<std::string>& mimeType() const { return mimeType_; }
  // The body length announced by the server, or kURLResponseUnknownLength.
  std::int64_t expectedContentLength() const { return expectedLength_; }
  // The charset parameter of the media type ("utf-8"), or nothing.
  const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }
  // A file name to save the body under: the Content-Disposition file name if any, else the
  // URL's last path component, else "Unknown". Always a single path component: never empty,
  // never "." or "..", never containing "/" or control characters, so callers can append it to
  // a folder without leaving that folder.
  virtual std::string suggestedFilename() const;

  std::string description() const override;

 private:
  URL url_;
  std::optional<std::string> mimeType_;
  std::int64_t expectedLength_;
  std::optional<std::string> textEncodingName_;
};

class HTTPURLResponse : public URLResponse {
 public:
  // A response for `url` with `statusCode`, the protocol version text ("HTTP/1.1") and `headers`;
  // the MIME type, encoding and length are read from the headers.
  HTTPURLResponse(URL url, int statusCode, std::string httpVersion, HTTPHeaderFields headers);

  int statusCode() const { return statusCode_; }
  const std::string& httpVersion() const { return httpVersion_; }
  const HTTPHeaderFields& allHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const { return headers_.value(name); }
  std::string suggestedFilename() const override;

  // The reason phrase the platform gives a status code ("not found", "internal server error");
  // codes it does not know give the class text ("success", "client error", ...).
  static std::string localizedStringForStatusCode(int statusCode);

  std::string description() const override;

 private:
  int statusCode_;
  std::string httpVersion_;
  HTTPHeaderFields headers_;
};

// Splits a Content-Type value into the lower-cased media type and its charset parameter.
void parseContentType(std::string_view value, std::optional<std::string>& mimeType,
                      std::optional<std::string>& charset);
// The file name of a Content-Disposition value (filename* in UTF-8 preferred over filename),
// unsanitised; nothing when it names none.
std::optional<std::string> contentDispositionFilename(std::string_view value);
// `name` made into one safe path component (see suggestedFilename); nothing when nothing usable
// remains.
std::optional<std::string> sanitizedFilename(std::string_view name);

}  // namespace net
