#include "net/callbacks/RLURLRequestSerialization.h"

#include "net/callbacks/RLLocalizedString.h"
#include "platform/foundation/String.h"

std::optional<foundation::Data> RLEncodedString(std::string_view text, RLStringEncoding encoding) {
  const bool ascii = foundation::isASCII(text);
  switch (encoding) {
    case RLStringEncoding::UTF8:
      return foundation::Data(text.begin(), text.end());
    case RLStringEncoding::ASCII:
      if (!ascii) return std::nullopt;
      return foundation::Data(text.begin(), text.end());
    case RLStringEncoding::ISOLatin1: {
      if (ascii) return foundation::Data(text.begin(), text.end());
      foundation::Data bytes;
      for (const char16_t unit : foundation::utf16(text)) {
        if (unit > 0xFF) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(unit));
      }
      return bytes;
    }
  }
  return std::nullopt;
}

foundation::Error RLRequestSerializationError(long code, const std::string& reason) {
  return foundation::Error(RLURLRequestSerializationErrorDomain, code,
                           {{foundation::kLocalizedFailureReasonErrorKey, RLLocalizedString(reason)}});
}
