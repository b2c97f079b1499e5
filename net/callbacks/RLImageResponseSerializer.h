#pragma once
// RLImageResponseSerializer validates a response as its base does, accepting the common bitmap
// MIME types (TIFF, JPEG, GIF, PNG, ICO, BMP, XBM), and decodes the body into an image whose size
// is the bitmap's width and height in pixels.
#include <memory>

#include "net/callbacks/RLURLResponseSerialization.h"

class RLImageResponseSerializer : public RLHTTPResponseSerializer {
 public:
  RLImageResponseSerializer();
  explicit RLImageResponseSerializer(foundation::KeyedUnarchiver& coder) : RLHTTPResponseSerializer(coder) {}

  static std::shared_ptr<RLImageResponseSerializer> serializer() { return std::make_shared<RLImageResponseSerializer>(); }

  // An appkit::Image holding the decoded appkit::BitmapImageRep, or null: after a failed
  // validation that stops the family's parsing serializers, or when the body does not decode, in
  // which case a -1016 error ("Request failed: image could not be decoded", with the response
  // and the body) goes to *error with any validation error under it.
  foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                              RLErrorOut error) const override;
  std::shared_ptr<RLURLResponseSerialization> copy() const override;
};
