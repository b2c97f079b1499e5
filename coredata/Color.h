#pragma once
// DSColor is the colour value the data import makes of colour text: red, green, blue and alpha in
// the device RGB space, each a double. It travels in a foundation::Value as an object, so it can be
// assigned to an attribute whose value class is a colour. Immutable, so safe to share across threads.
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

class DSColor : public foundation::Object {
 public:
  DSColor(double red, double green, double blue, double alpha)
      : red_(red), green_(green), blue_(blue), alpha_(alpha) {}
  // A shared colour with these components, unchanged (no clamping).
  static std::shared_ptr<DSColor> colorWithDeviceRed(double red, double green, double blue, double alpha) {
    return std::make_shared<DSColor>(red, green, blue, alpha);
  }

  double redComponent() const { return red_; }
  double greenComponent() const { return green_; }
  double blueComponent() const { return blue_; }
  double alphaComponent() const { return alpha_; }

  // "DeviceRGB R G B A" with each component in its shortest form.
  std::string description() const override;
  // Equal when every component is equal.
  bool isEqual(const foundation::Object& other) const override;

 private:
  double red_;
  double green_;
  double blue_;
  double alpha_;
};
