#include "net/callbacks/RLImageResponseSerializer.h"

#include "net/callbacks/RLLocalizedString.h"
#include "platform/appkit/Image.h"
#include "platform/net/URLError.h"

RLImageResponseSerializer::RLImageResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico",
                                                  "image/x-icon", "image/bmp", "image/x-bmp", "image/x-xbitmap",
                                                  "image/x-win-bitmap"});
}

foundation::Value RLImageResponseSerializer::responseObjectForResponse(const RLURLResponsePtr& response,
                                                                      const RLOptionalData& data,
                                                                      RLErrorOut error) const {
  if (!shouldParseAfterValidating(response, data, error)) return foundation::Value();
  auto representation = appkit::BitmapImageRep::imageRepWithData(data.bytes());
  if (!representation) {
    if (error) {
      *error = RLErrorWithUnderlyingError(
          makeResponseError(net::URLErrorCannotDecodeContentData,
                            RLLocalizedString("Request failed: image could not be decoded"), response, data),
          *error);
    }
    return foundation::Value();
  }
  auto image = std::make_shared<appkit::Image>(
      appkit::Size{static_cast<double>(representation->pixelsWide()), static_cast<double>(representation->pixelsHigh())});
  image->addRepresentation(std::move(representation));
  return foundation::Value(std::static_pointer_cast<foundation::Object>(image));
}

std::shared_ptr<RLURLResponseSerialization> RLImageResponseSerializer::copy() const {
  auto copied = std::make_shared<RLImageResponseSerializer>();
  copyBaseInto(*copied);
  return copied;
}
