#pragma once
// Base64 text of bytes with the standard alphabet and "=" padding (RFC 4648, section 4), as the
// platform's data objects write and read it: written without line breaks; read strictly (any
// character outside the alphabet, a line break included, fails) or leniently (characters
// outside the alphabet are skipped first). Every function is pure and safe from any thread.
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace security {

enum class Base64DecodingOptions {
  Strict,
  IgnoreUnknownCharacters,
};

// The Base64 text of the bytes, padded, on one line.
std::string base64EncodedString(const foundation::Data& bytes);
std::string base64EncodedString(std::string_view bytes);

// The bytes of Base64 `text`; nothing when the text (after skipping, in the lenient mode) is not
// whole groups of four characters with padding only at its end. Empty text gives empty bytes.
std::optional<foundation::Data> dataFromBase64(std::string_view text,
                                               Base64DecodingOptions options = Base64DecodingOptions::Strict);

}  // namespace security
