#pragma once
// URLEncoding writes parameters as "a=1&b=2" text: into the URL's query or into a form body, by
// the method or by choice. Keys are sorted at the top level; nested dictionaries give
// "key[nested]" names, arrays "key[]" (or the plain key) per element, Booleans "1"/"0" or
// "true"/"false". The ready-made value `default` is `default_()` here (a C++ keyword).
// An immutable value; thread-safe.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/pipeline/ParameterEncoding.h"

namespace pipeline {

class URLEncoding final : public ParameterEncoding {
 public:
  enum class Destination : std::uint8_t { methodDependent, queryString, httpBody };
  enum class ArrayEncoding : std::uint8_t { brackets, noBrackets };
  enum class BoolEncoding : std::uint8_t { numeric, literal };

  explicit URLEncoding(Destination destination = Destination::methodDependent,
                       ArrayEncoding arrayEncoding = ArrayEncoding::brackets,
                       BoolEncoding boolEncoding = BoolEncoding::numeric)
      : destination_(destination), arrayEncoding_(arrayEncoding), boolEncoding_(boolEncoding) {}

  // The ready-made encodings; all with brackets and numeric Booleans.
  static URLEncoding default_() { return URLEncoding(); }
  static URLEncoding methodDependent() { return URLEncoding(Destination::methodDependent); }
  static URLEncoding queryString() { return URLEncoding(Destination::queryString); }
  static URLEncoding httpBody() { return URLEncoding(Destination::httpBody); }

  Destination destination() const { return destination_; }
  ArrayEncoding arrayEncoding() const { return arrayEncoding_; }
  BoolEncoding boolEncoding() const { return boolEncoding_; }

  // Into the URL for GET, HEAD and DELETE under methodDependent, or for any of the nine methods
  // under queryString; into the body otherwise, with "Content-Type" set to
  // "application/x-www-form-urlencoded; charset=utf-8" unless the request has one. Throws what
  // the conversion throws, or parameterEncodingFailed(missingURL) when the query destination
  // finds no URL.
  net::URLRequest encode(const URLRequestConvertible& urlRequest,
                         const std::optional<Parameters>& parameters) const override;

  // The escaped (name, value) pairs of one parameter, nested values flattened in their order.
  std::vector<std::pair<std::string, std::string>> queryComponents(const std::string& key,
                                                                   const foundation::Value& value) const;
  // `string` percent-escaped for a query: everything but letters, digits and "-._~/?" is escaped.
  std::string escape(std::string_view string) const;

  // The "a=1&b=2" text of `parameters`, top-level keys sorted.
  std::string query(const Parameters& parameters) const;

  // Same destination, array and Boolean encodings (the abstract base has no state to compare).
  bool operator==(const URLEncoding& other) const {
    return destination_ == other.destination_ && arrayEncoding_ == other.arrayEncoding_ &&
           boolEncoding_ == other.boolEncoding_;
  }

 private:
  Destination destination_;
  ArrayEncoding arrayEncoding_;
  BoolEncoding boolEncoding_;
};

}  // namespace pipeline
