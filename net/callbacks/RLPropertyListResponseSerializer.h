#pragma once
// RLPropertyListResponseSerializer validates a response as its base does, accepting the MIME
// type "application/x-plist", and reads the body as a property list, XML or binary (the form is
// found from the bytes).
#include <memory>

#include "net/callbacks/RLURLResponseSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"

class RLPropertyListResponseSerializer : public RLHTTPResponseSerializer {
 public:
  // The XML format and read options 0.
  RLPropertyListResponseSerializer();
  // The base decoding, then "format" and "readOptions".
  explicit RLPropertyListResponseSerializer(foundation::KeyedUnarchiver& coder);

  static std::shared_ptr<RLPropertyListResponseSerializer> serializer() {
    return serializerWithFormat(static_cast<unsigned long>(foundation::PropertyListFormat::XML), 0);
  }
  static std::shared_ptr<RLPropertyListResponseSerializer> serializerWithFormat(unsigned long format,
                                                                                unsigned long readOptions);

  // Stored, archived and copied; reading finds the form by itself and does not use it.
  unsigned long format() const { return format_; }
  void setFormat(unsigned long format) { format_ = format; }
  // foundation::PropertyListMutabilityOptions handed to the reader.
  unsigned long readOptions() const { return readOptions_; }
  void setReadOptions(unsigned long options) { readOptions_ = options; }

  // The property list of the body, or null: after a failed validation that stops the family's
  // parsing serializers; for a nil body (leaving *error as validation left it); or for a body
  // that is no property list, in which case the reader's error goes to *error with any
  // validation error under it.
  foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                              RLErrorOut error) const override;
  std::shared_ptr<RLURLResponseSerialization> copy() const override;
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

 private:
  unsigned long format_ = static_cast<unsigned long>(foundation::PropertyListFormat::XML);
  unsigned long readOptions_ = 0;
};
