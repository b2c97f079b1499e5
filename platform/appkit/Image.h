#pragma once
// Image and BitmapImageRep stand in for the desktop framework's image and bitmap representation:
// a bitmap decoded from PNG, JPEG, GIF, BMP, ICO and the other formats Qt's image readers know,
// and an image object of a given size that holds one or more representations. Decoding runs on
// any thread (Qt's QImage needs no application object for it) and refuses bitmaps above 256 MiB,
// so a small file that claims a huge bitmap fails instead of exhausting memory.
//
// What it leaves out: vector representations, drawing, resolution and scale (a point is a pixel
// here), animation (a GIF gives its first frame).
#include <QImage>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace appkit {

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

// One decoded bitmap. Immutable; share it freely across threads.
class BitmapImageRep {
 public:
  // Decodes `data`, its format found from the bytes. Null when the bytes are no image Qt can
  // read, are truncated, or would need more than 256 MiB. Thread-safe.
  static std::shared_ptr<const BitmapImageRep> imageRepWithData(const foundation::Data& data);

  int pixelsWide() const { return image_.width(); }
  int pixelsHigh() const { return image_.height(); }
  bool hasAlpha() const { return image_.hasAlphaChannel(); }
  int bitsPerPixel() const { return image_.depth(); }
  // The format the bytes were in, lower case ("png", "jpeg", "gif").
  const std::string& format() const { return format_; }
  // The colour at (x, y) as 0xAARRGGBB; 0 outside the bitmap.
  std::uint32_t colorAt(int x, int y) const;
  // The bitmap, for drawing with Qt (implicitly shared, so the copy is cheap).
  QImage image() const { return image_; }

  BitmapImageRep(QImage image, std::string format) : image_(std::move(image)), format_(std::move(format)) {}

 private:
  QImage image_;
  std::string format_;
};

// An image: a size and the representations that draw it. Not safe to change from two threads at
// once; reading is.
class Image : public foundation::Object {
 public:
  explicit Image(Size size) : size_(size) {}

  Size size() const { return size_; }
  void addRepresentation(std::shared_ptr<const BitmapImageRep> representation);
  const std::vector<std::shared_ptr<const BitmapImageRep>>& representations() const { return representations_; }

  // "<Image 0x... Size={w, h} Reps=n>".
  std::string description() const override;

 private:
  Size size_;
  std::vector<std::shared_ptr<const BitmapImageRep>> representations_;
};

}  // namespace appkit
