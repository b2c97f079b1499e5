#pragma once
// The checks behind DataRequest::validate and DownloadRequest::validate: status codes and content
// types, with the parsed MIME type they compare. Pure functions; safe from any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/pipeline/Request.h"
#include "platform/net/URLResponse.h"

namespace pipeline {

// A content type as "type/subtype", without parameters; "*" in an acceptable type is a wildcard.
struct MIMEType {
  std::string type;
  std::string subtype;

  // Trims whitespace, drops ";" and what follows, splits at "/": type is the first piece and
  // subtype the last ("a/b/c" gives a and c; "text" gives text and text). Never fails.
  static MIMEType parse(std::string_view text);
  // Whether this acceptable type accepts the response's `other` (taken literally).
  bool matches(const MIMEType& other) const;
};

// The default acceptable status codes: 200 to 299.
std::vector<int> defaultAcceptableStatusCodes();
// The acceptable types of `request`'s "Accept" header, split at ","; "*/*" without one.
std::vector<std::string> defaultAcceptableContentTypes(const std::optional<net::URLRequest>& request);

// Success when the response's status is one of `acceptable`.
Request::ValidationResult validateStatusCode(const std::vector<int>& acceptable, const net::HTTPURLResponse& response);
// Success for an empty body or an accepted MIME type; missingContentType or
// unacceptableContentType otherwise.
Request::ValidationResult validateContentType(const std::vector<std::string>& acceptable,
                                              const net::HTTPURLResponse& response,
                                              const std::optional<foundation::Data>& data);

}  // namespace pipeline
