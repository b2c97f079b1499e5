#pragma once
// RLURLRequestSerialization is what a session manager holds its request serializer by: something
// that applies parameters to a URL request, can be archived and copied. This header also holds
// what the request serializers share: their error domain and codes, and their text encodings.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"

// The error domain of every request serializer and of the multipart builder.
inline constexpr const char* RLURLRequestSerializationErrorDomain = "com.relay.error.serialization.request";
// Codes used in that domain: a bad file URL or part argument, and parameters that cannot be written.
inline constexpr long RLRequestSerializationErrorBadArgument = -1000;
inline constexpr long RLRequestSerializationErrorCannotWriteParameters = -1016;

// The text encodings a request serializer writes form bodies and part text in, with the
// platform's values.
enum class RLStringEncoding : unsigned {
  ASCII = 1,
  UTF8 = 4,
  ISOLatin1 = 5,
};

// The bytes of the UTF-8 `text` in `encoding`, or nothing when it holds a character the encoding
// lacks. Thread-safe.
std::optional<foundation::Data> RLEncodedString(std::string_view text, RLStringEncoding encoding);

class RLURLRequestSerialization : public foundation::Coding {
 public:
  // A new request: `request` with `parameters` applied (a null Value means no parameters). On
  // failure answers nothing and sets *error (when given). Thread-safe once the serializer is
  // configured.
  virtual std::optional<net::URLRequest> requestBySerializingRequest(const net::URLRequest& request,
                                                                     const foundation::Value& parameters,
                                                                     foundation::Error* error) const = 0;
  // A new serializer of this one's own class with its configuration (what is copied is each
  // class's to say); the caller owns it. Thread-safe.
  virtual std::shared_ptr<RLURLRequestSerialization> copy() const = 0;
};

// An error in the request domain with `code` whose only user info is the localized failure
// reason `reason` (looked up in the "Relay" string table).
foundation::Error RLRequestSerializationError(long code, const std::string& reason);
