#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>

#include "platform/appkit/Image.h"

using appkit::BitmapImageRep;

namespace {

foundation::Data encoded(const QImage& image, const char* format) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  EXPECT_TRUE(image.save(&buffer, format)) << format;
  return foundation::Data(bytes.begin(), bytes.end());
}

TEST(ImageTest, DecodesWhatQtReads) {
  QImage source(3, 2, QImage::Format_ARGB32);
  source.fill(0xff102030);
  source.setPixel(2, 1, 0x80ff0000);
  for (const char* format : {"png", "bmp"}) {
    const auto rep = BitmapImageRep::imageRepWithData(encoded(source, format));
    ASSERT_TRUE(rep) << format;
    EXPECT_EQ(rep->format(), format);
    EXPECT_EQ(rep->pixelsWide(), 3);
    EXPECT_EQ(rep->pixelsHigh(), 2);
    EXPECT_EQ(rep->colorAt(0, 0), 0xff102030u) << format;
    EXPECT_EQ(rep->colorAt(5, 5), 0u);
  }
  EXPECT_TRUE(BitmapImageRep::imageRepWithData(encoded(source, "png"))->hasAlpha());

  appkit::Image image({3, 2});
  image.addRepresentation(BitmapImageRep::imageRepWithData(encoded(source, "png")));
  image.addRepresentation(nullptr);
  EXPECT_EQ(image.size(), (appkit::Size{3, 2}));
  EXPECT_EQ(image.representations().size(), 1u);
}

TEST(ImageTest, RefusesWhatIsNoImage) {
  const auto png = encoded(QImage(8, 8, QImage::Format_RGB32), "png");
  const foundation::Data truncated(png.begin(), png.begin() + 30);
  const std::string text = "<html>not an image</html>";
  EXPECT_FALSE(BitmapImageRep::imageRepWithData({}));
  EXPECT_FALSE(BitmapImageRep::imageRepWithData(truncated));
  EXPECT_FALSE(BitmapImageRep::imageRepWithData(foundation::Data(text.begin(), text.end())));
}

}  // namespace
