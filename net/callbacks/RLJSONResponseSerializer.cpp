#include "net/callbacks/RLJSONResponseSerializer.h"

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

using foundation::Value;

namespace {

const std::string kReadingOptionsKey = "readingOptions";
const std::string kRemovesNullsKey = "removesKeysWithNullValues";

}  // namespace

RLJSONResponseSerializer::RLJSONResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/json", "text/json", "text/javascript"});
}

RLJSONResponseSerializer::RLJSONResponseSerializer(foundation::KeyedUnarchiver& coder) : RLHTTPResponseSerializer(coder) {
  readingOptions_ = coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kReadingOptionsKey).uintValue();
  removesKeysWithNullValues_ = coder.decodeBoolForKey(kRemovesNullsKey);
}

std::shared_ptr<RLJSONResponseSerializer> RLJSONResponseSerializer::serializerWithReadingOptions(unsigned long readingOptions) {
  auto serializer = std::make_shared<RLJSONResponseSerializer>();
  serializer->setReadingOptions(readingOptions);
  return serializer;
}

Value RLJSONResponseSerializer::responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                                          RLErrorOut error) const {
  if (!shouldParseAfterValidating(response, data, error)) return Value();
  // A lone space is what some servers send for "no content"; it is no JSON and no error.
  if (!data || data->empty() || (data->size() == 1 && (*data)[0] == ' ')) return Value();

  foundation::Error parseError;
  auto parsed = foundation::JSONSerialization::JSONObjectWithData(*data, static_cast<unsigned>(readingOptions_), &parseError);
  if (!parsed) {
    if (error) *error = RLErrorWithUnderlyingError(parseError, *error);
    return Value();
  }
  if (removesKeysWithNullValues_) return RLJSONObjectByRemovingKeysWithNullValues(*parsed, readingOptions_);
  return std::move(*parsed);
}

std::shared_ptr<RLURLResponseSerialization> RLJSONResponseSerializer::copy() const {
  auto copied = std::make_shared<RLJSONResponseSerializer>();
  copyBaseInto(*copied);
  copied->readingOptions_ = readingOptions_;
  copied->removesKeysWithNullValues_ = removesKeysWithNullValues_;
  return copied;
}

void RLJSONResponseSerializer::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  RLHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeObject(Value(static_cast<unsigned long long>(readingOptions_)), kReadingOptionsKey);
  coder.encodeBool(removesKeysWithNullValues_, kRemovesNullsKey);
}

Value RLJSONObjectByRemovingKeysWithNullValues(const Value& value, unsigned long readingOptions) {
  // Parsed JSON is at most JSONSerialization::kMaximumDepth deep, which bounds the recursion.
  if (value.isArray()) {
    foundation::Array cleaned;
    cleaned.reserve(value.arrayValue().size());
    for (const Value& element : value.arrayValue()) {
      cleaned.push_back(RLJSONObjectByRemovingKeysWithNullValues(element, readingOptions));
    }
    return Value(std::move(cleaned));
  }
  if (value.isDictionary()) {
    foundation::Dictionary cleaned;
    for (const auto& [key, entry] : value.dictionaryValue()) {
      if (entry.isNull()) continue;
      cleaned.set(key, entry.isArray() || entry.isDictionary()
                           ? RLJSONObjectByRemovingKeysWithNullValues(entry, readingOptions)
                           : entry);
    }
    return Value(std::move(cleaned));
  }
  return value;
}
