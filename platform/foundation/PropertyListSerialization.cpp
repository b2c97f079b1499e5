#include "platform/foundation/PropertyListSerialization.h"

#include <cstring>
#include <string>
#include <string_view>

#include "platform/foundation/detail/BinaryPropertyListReader.h"
#include "platform/foundation/detail/BinaryPropertyListWriter.h"
#include "platform/foundation/detail/XMLPropertyListReader.h"
#include "platform/foundation/detail/XMLPropertyListWriter.h"

namespace foundation {

namespace {

constexpr const char* kCorruptDescription = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
constexpr const char* kUnknownVersionDescription =
    "The data couldn\u2019t be read because it has an unknown property list version.";
constexpr const char* kInvalidDescription = "The data couldn\u2019t be written because it isn\u2019t in the correct format.";

bool report(Error* error, long code, const char* description, const std::string& debugDescription) {
  if (error) {
    *error = Error(kCocoaErrorDomain, code,
                   Dictionary{{kLocalizedDescriptionKey, Value(description)},
                              {kDebugDescriptionErrorKey, Value(debugDescription)}});
  }
  return false;
}

bool startsWith(std::string_view text, std::string_view word) { return text.substr(0, word.size()) == word; }

std::optional<Data> write(const Value& value, PropertyListFormat format, std::string& problem) {
  switch (format) {
    case PropertyListFormat::XML: return detail::XMLPropertyListWriter::write(value, problem);
    case PropertyListFormat::Binary: return detail::BinaryPropertyListWriter::write(value, problem);
    case PropertyListFormat::OpenStep: break;
  }
  problem = "Property list format not supported for writing.";
  return std::nullopt;
}

}  // namespace

std::optional<Value> PropertyListSerialization::propertyListWithData(const Data& data, unsigned, PropertyListFormat* format,
                                                                     Error* error) {
  std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (startsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
  if (text.empty()) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription, "Cannot parse a NULL or zero-length data.");
    return std::nullopt;
  }
  const bool binary = startsWith(text, "bplist");
  if (binary && !startsWith(text, "bplist00")) {
    report(error, kPropertyListReadUnknownVersionError, kUnknownVersionDescription,
           "Unsupported binary property list version.");
    return std::nullopt;
  }
  const std::size_t firstNonSpace = text.find_first_not_of(" \t\r\n");
  if (!binary && (firstNonSpace == std::string_view::npos || text[firstNonSpace] != '<')) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription,
           "Property list is neither XML nor binary (the OpenStep format is not read).");
    return std::nullopt;
  }
  std::string problem;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  // XML allows nothing before its declaration; servers and editors sometimes leave white space.
  std::optional<Value> value =
      binary ? detail::BinaryPropertyListReader::read(bytes, text.size(), problem)
             : detail::XMLPropertyListReader::read(Data(bytes + firstNonSpace, bytes + text.size()), problem);
  if (!value) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription, problem);
    return std::nullopt;
  }
  if (format) *format = binary ? PropertyListFormat::Binary : PropertyListFormat::XML;
  return value;
}

std::optional<Data> PropertyListSerialization::dataWithPropertyList(const Value& value, PropertyListFormat format,
                                                                    unsigned, Error* error) {
  std::string problem;
  std::optional<Data> data = write(value, format, problem);
  if (!data) report(error, kPropertyListWriteStreamError, kInvalidDescription, problem);
  return data;
}

bool PropertyListSerialization::propertyListIsValidForFormat(const Value& value, PropertyListFormat format) {
  std::string problem;
  return write(value, format, problem).has_value();
}

}  // namespace foundation
