#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

#include <cmath>

#include "platform/foundation/Error.h"

namespace TLErrorModelCoding {

void failDecode(foundation::KeyedUnarchiver& coder, const std::string& reason) {
  coder.failWithError(foundation::Error(foundation::kCocoaErrorDomain, foundation::kCoderReadCorruptError,
                                        {{"NSDebugDescription", reason}}));
}

std::optional<std::int64_t> decodeInteger(foundation::KeyedUnarchiver& coder, const std::string& key) {
  const foundation::Value number = coder.decodeObjectOfClass(foundation::ArchiveClass::Number, key);
  if (number.isNull()) return std::nullopt;
  if (number.isInteger() || number.isBool()) {
    if (number.type() == foundation::Value::Type::UInt && number.uintValue() > static_cast<std::uint64_t>(INT64_MAX)) {
      failDecode(coder, "The number under \"" + key + "\" does not fit in 64 bits.");
      return std::nullopt;
    }
    return number.intValue();
  }
  const double value = number.doubleValue();
  if (number.isDouble() && std::trunc(value) == value && value >= -9223372036854775808.0 &&
      value < 9223372036854775808.0) {
    return static_cast<std::int64_t>(value);
  }
  failDecode(coder, "The number under \"" + key + "\" is not a whole number.");
  return std::nullopt;
}

std::optional<foundation::Date> decodeDate(foundation::KeyedUnarchiver& coder, const std::string& key) {
  const foundation::Value date = coder.decodeObjectOfClass(foundation::ArchiveClass::Date, key);
  if (!date.isDate()) return std::nullopt;
  return date.dateValue();
}

std::optional<foundation::Data> decodeData(foundation::KeyedUnarchiver& coder, const std::string& key) {
  const foundation::Value data = coder.decodeObjectOfClass(foundation::ArchiveClass::Data, key);
  if (!data.isData()) return std::nullopt;
  return data.dataValue();
}

std::optional<foundation::Dictionary> decodeTexts(foundation::KeyedUnarchiver& coder, const std::string& key) {
  const foundation::Value dictionary = coder.decodeObjectOfClass(foundation::ArchiveClass::Dictionary, key);
  if (!dictionary.isDictionary()) return std::nullopt;
  for (const auto& [name, value] : dictionary.dictionaryValue()) {
    if (!value.isString()) {
      failDecode(coder, "The value of \"" + name + "\" under \"" + key + "\" is not text.");
      return std::nullopt;
    }
  }
  return dictionary.dictionaryValue();
}

}  // namespace TLErrorModelCoding
