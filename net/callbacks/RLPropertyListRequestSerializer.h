#pragma once
// RLPropertyListRequestSerializer writes the parameters of body methods as a property list
// ("application/x-plist" unless a Content-Type is already set), XML by default; GET, HEAD and
// DELETE still put them in the URL query. Everything else is the HTTP request serializer's.
//
// Threads: as RLHTTPRequestSerializer; the format and options are plain fields.
#include <memory>

#include "net/callbacks/RLHTTPRequestSerializer.h"
#include "platform/foundation/PropertyListSerialization.h"

class RLPropertyListRequestSerializer : public RLHTTPRequestSerializer {
 public:
  // A new serializer writing XML property lists.
  static std::shared_ptr<RLPropertyListRequestSerializer> serializer();
  static std::shared_ptr<RLPropertyListRequestSerializer> serializerWithFormat(foundation::PropertyListFormat format,
                                                                               unsigned writeOptions);

  RLPropertyListRequestSerializer() = default;
  // The base's archived state, the format and the write options.
  explicit RLPropertyListRequestSerializer(foundation::KeyedUnarchiver& coder);

  foundation::PropertyListFormat format() const { return format_; }
  void setFormat(foundation::PropertyListFormat format) { format_ = format; }
  unsigned writeOptions() const { return writeOptions_; }
  void setWriteOptions(unsigned options) { writeOptions_ = options; }

  // Body methods: the default headers, then, with parameters, the property-list body. Nothing,
  // with the writer's error in *error, when the writer refuses the parameters.
  std::optional<net::URLRequest> requestBySerializingRequest(const net::URLRequest& request,
                                                             const foundation::Value& parameters,
                                                             foundation::Error* error) const override;

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  std::shared_ptr<RLURLRequestSerialization> copy() const override;

 private:
  foundation::PropertyListFormat format_ = foundation::PropertyListFormat::XML;
  unsigned writeOptions_ = 0;
};
