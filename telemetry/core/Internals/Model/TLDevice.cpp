#include "telemetry/core/Internals/Model/TLDevice.h"

namespace {

using Text = std::optional<std::string> TLDevice::*;
using Number = std::optional<std::int64_t> TLDevice::*;

// One device field: a text or a number, under its JSON and archive key.
struct Field {
  const char* key;
  Text text;
  Number number;
};

// In the order the fields are written.
constexpr Field kFields[] = {
    {"sdkName", &TLDevice::sdkName, nullptr},
    {"sdkVersion", &TLDevice::sdkVersion, nullptr},
    {"model", &TLDevice::model, nullptr},
    {"oemName", &TLDevice::oemName, nullptr},
    {"osName", &TLDevice::osName, nullptr},
    {"osVersion", &TLDevice::osVersion, nullptr},
    {"osBuild", &TLDevice::osBuild, nullptr},
    {"osApiLevel", nullptr, &TLDevice::osApiLevel},
    {"locale", &TLDevice::locale, nullptr},
    {"timeZoneOffset", nullptr, &TLDevice::timeZoneOffset},
    {"screenSize", &TLDevice::screenSize, nullptr},
    {"appVersion", &TLDevice::appVersion, nullptr},
    {"carrierName", &TLDevice::carrierName, nullptr},
    {"carrierCountry", &TLDevice::carrierCountry, nullptr},
    {"appBuild", &TLDevice::appBuild, nullptr},
    {"appNamespace", &TLDevice::appNamespace, nullptr},
};

}  // namespace

TLDevice::TLDevice(foundation::KeyedUnarchiver& coder) : TLWrapperSdk(coder) {
  for (const Field& field : kFields) {
    if (field.text) {
      this->*field.text = coder.decodeStringForKey(field.key);
      continue;
    }
    const foundation::Value number = coder.decodeObjectOfClass(foundation::ArchiveClass::Number, field.key);
    if (!number.isNull()) this->*field.number = number.intValue();
  }
}

void TLDevice::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLWrapperSdk::encodeWithCoder(coder);
  for (const Field& field : kFields) {
    if (field.text) {
      coder.encodeObject(this->*field.text, field.key);
    } else {
      coder.encodeObject(this->*field.number, field.key);
    }
  }
}

std::optional<foundation::Dictionary> TLDevice::serializeToDictionary() const {
  foundation::Dictionary dictionary = *TLWrapperSdk::serializeToDictionary();
  for (const Field& field : kFields) {
    if (field.text && this->*field.text) dictionary.set(field.key, *(this->*field.text));
    if (field.number && this->*field.number) dictionary.set(field.key, *(this->*field.number));
  }
  return dictionary;
}

bool TLDevice::isValid() const {
  return TLWrapperSdk::isValid() && sdkName && sdkVersion && osName && osVersion && locale && timeZoneOffset &&
         appVersion && appBuild;
}

bool TLDevice::isEqual(const foundation::Object& other) const {
  const auto* device = dynamic_cast<const TLDevice*>(&other);
  if (!device || !wrapperFieldsEqual(*device)) return false;
  for (const Field& field : kFields) {
    if (field.text ? this->*field.text != device->*field.text : this->*field.number != device->*field.number) {
      return false;
    }
  }
  return true;
}
