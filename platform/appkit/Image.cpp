#include "platform/appkit/Image.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include <climits>
#include <cstdio>

namespace appkit {

namespace {

// Far above any image a server sends this program, far below what would hurt the machine.
constexpr int kAllocationLimitMegabytes = 256;

}  // namespace

std::shared_ptr<const BitmapImageRep> BitmapImageRep::imageRepWithData(const foundation::Data& data) {
  if (data.empty() || data.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  // The bytes are read in place: the buffer lives only for this call.
  const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()),
                                                   static_cast<qsizetype>(data.size()));
  QBuffer buffer;
  buffer.setData(bytes);
  if (!buffer.open(QIODevice::ReadOnly)) return nullptr;
  QImageReader reader(&buffer);
  reader.setAllocationLimit(kAllocationLimitMegabytes);
  const std::string format = reader.format().toLower().toStdString();
  QImage image = reader.read();
  if (image.isNull()) return nullptr;
  return std::make_shared<const BitmapImageRep>(std::move(image), format);
}

std::uint32_t BitmapImageRep::colorAt(int x, int y) const {
  if (!image_.valid(x, y)) return 0;
  return image_.pixel(x, y);
}

void Image::addRepresentation(std::shared_ptr<const BitmapImageRep> representation) {
  if (representation) representations_.push_back(std::move(representation));
}

std::string Image::description() const {
  char text[128];
  std::snprintf(text, sizeof text, "<Image %p Size={%g, %g} Reps=%zu>", static_cast<const void*>(this), size_.width,
                size_.height, representations_.size());
  return text;
}

}  // namespace appkit
