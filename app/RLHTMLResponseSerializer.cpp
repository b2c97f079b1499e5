#include "app/RLHTMLResponseSerializer.h"

#include <string_view>

#include "platform/foundation/StringEncoding.h"

foundation::Value RLHTMLResponseSerializer::responseObjectForResponse(const RLURLResponsePtr&, const RLOptionalData& data,
                                                                      RLErrorOut) const {
  if (!data) return foundation::Value(std::string());
  const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
  // A strict conversion fails on any byte sequence that is not UTF-8.
  if (!foundation::dataUsingEncoding(text, foundation::UTF8StringEncoding)) return foundation::Value();
  return foundation::Value(std::string(text));
}

std::shared_ptr<RLURLResponseSerialization> RLHTMLResponseSerializer::copy() const {
  auto copied = std::make_shared<RLHTMLResponseSerializer>();
  copyBaseInto(*copied);
  return copied;
}
