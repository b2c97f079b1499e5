#include "coredata/Color.h"

std::string DSColor::description() const {
  using foundation::Value;
  return "DeviceRGB " + Value(red_).description() + " " + Value(green_).description() + " " +
         Value(blue_).description() + " " + Value(alpha_).description();
}

bool DSColor::isEqual(const foundation::Object& other) const {
  const auto* colour = dynamic_cast<const DSColor*>(&other);
  return colour && colour->red_ == red_ && colour->green_ == green_ && colour->blue_ == blue_ &&
         colour->alpha_ == alpha_;
}
