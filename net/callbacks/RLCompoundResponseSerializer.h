#pragma once
// RLCompoundResponseSerializer tries a list of response serializers in turn and hands back the
// first response object one of them makes; when none makes one it behaves as its base (status
// 200 to 299, any MIME type, the body as it came).
#include <memory>
#include <vector>

#include "net/callbacks/RLURLResponseSerialization.h"

class RLCompoundResponseSerializer : public RLHTTPResponseSerializer {
 public:
  using Serializers = std::vector<std::shared_ptr<RLURLResponseSerialization>>;

  // The base defaults and no serializers.
  RLCompoundResponseSerializer() = default;
  // The base decoding, then "responseSerializers" (an array of serializers of this family).
  explicit RLCompoundResponseSerializer(foundation::KeyedUnarchiver& coder);

  static std::shared_ptr<RLCompoundResponseSerializer> compoundSerializerWithResponseSerializers(Serializers serializers);

  const Serializers& responseSerializers() const { return responseSerializers_; }
  void setResponseSerializers(Serializers serializers) { responseSerializers_ = std::move(serializers); }

  // Asks each serializer of the list that is an RLHTTPResponseSerializer, in order, with an error
  // of its own; the first non-null object ends the walk, and its error (chained over what *error
  // held) goes to *error. Errors of serializers that made nothing are dropped. With no object
  // from any, the base's answer for the compound itself.
  foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                              RLErrorOut error) const override;
  // A compound with the same list (the serializers themselves are shared, not copied).
  std::shared_ptr<RLURLResponseSerialization> copy() const override;
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

 private:
  Serializers responseSerializers_;
};
