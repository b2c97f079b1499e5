#pragma once
// Base64 (RFC 4648, standard alphabet, "=" padding) for the property lists' data elements, over
// OpenSSL's block coder. Internal to the foundation; the security layer has its own for callers
// above it. Pure functions, safe from any thread.
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace foundation::detail {

// The Base64 text of `bytes`, padded, on one line.
std::string base64Encode(const Data& bytes);

// The bytes of `text`, in which white space is skipped; nothing when what remains is not whole
// groups of four alphabet characters with padding only at the end.
std::optional<Data> base64Decode(std::string_view text);

}  // namespace foundation::detail
