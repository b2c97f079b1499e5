// libFuzzer target of the property-list reader and writer, XML and binary. Invariants: what reads
// in one form and is valid for a form writes in that form, and the bytes read back as the same
// form and the same values (strictly: kinds, bits of doubles and dates); what is not valid for a
// form is refused by the writer. XML keeps whole seconds of dates, so only the trip from XML
// through binary is checked across forms.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "fuzz/SameValue.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace {

using foundation::Array;
using foundation::Data;
using foundation::Dictionary;
using foundation::PropertyListFormat;
using foundation::PropertyListSerialization;
using foundation::Value;

Value sampleValue() {
  return Value(Dictionary{
      {"flag", true},
      {"off", false},
      {"count", 42},
      {"negative", -7},
      {"large", Value(static_cast<unsigned long long>(1) << 62)},
      {"ratio", 0.25},
      {"name", "h\xc3\xa9llo \xf0\x9f\x98\x80 <&>"},
      {"bytes", Data{0, 1, 2, 255}},
      {"when", foundation::Date::fromTimeIntervalSinceReferenceDate(600000000)},
      {"list", Array{1, "two", Array{}, Dictionary{}}},
      {"nested", Dictionary{{"deeper", Array{Value(Dictionary{{"k", "v"}})}}}},
      {"uid", Dictionary{{"CF$UID", 3}}},
  });
}

void writeSeeds(fuzz::SeedWriter& seeds) {
  const Value samples[] = {sampleValue(), Value(Array{}), Value("text"), Value(Array{Value(Array{Value(Array{})})})};
  int n = 0;
  for (const auto& sample : samples) {
    for (const auto format : {PropertyListFormat::XML, PropertyListFormat::Binary}) {
      const auto bytes = PropertyListSerialization::dataWithPropertyList(sample, format);
      fuzz::check(bytes.has_value(), "a seed value writes");
      seeds.write("sample-" + std::to_string(n++) + (format == PropertyListFormat::XML ? ".xml.plist" : ".bplist"),
                  *bytes);
    }
  }
}

const char* nameOf(PropertyListFormat format) { return format == PropertyListFormat::XML ? "XML" : "binary"; }

// `value`, read in some form, through `format` and back.
void checkTrip(const Value& value, PropertyListFormat format) {
  const bool valid = PropertyListSerialization::propertyListIsValidForFormat(value, format);
  foundation::Error error;
  const auto bytes = PropertyListSerialization::dataWithPropertyList(value, format, 0, &error);
  fuzz::check(bytes.has_value() == valid,
              std::string("the ") + nameOf(format) + " writer accepts exactly what is valid for it: " +
                  (bytes ? "wrote an invalid value" : error.description()));
  if (!bytes) return;
  PropertyListFormat found{};
  const auto back = PropertyListSerialization::propertyListWithData(*bytes, 0, &found, &error);
  fuzz::check(back.has_value(), std::string("what the ") + nameOf(format) + " writer wrote reads: " + error.description());
  fuzz::check(found == format, "what was written reads as the form it was written in");
  const std::string difference = fuzz::firstDifference(value, *back);
  fuzz::check(difference.empty(), std::string("a ") + nameOf(format) + " round trip keeps the values; " + difference);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::initialize(writeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PropertyListFormat format{};
  const auto value = PropertyListSerialization::propertyListWithData(Data(data, data + size), 0, &format);
  if (!value) return 0;
  fuzz::check(format == PropertyListFormat::XML || format == PropertyListFormat::Binary, "a read form is XML or binary");
  checkTrip(*value, format);
  if (format == PropertyListFormat::XML) checkTrip(*value, PropertyListFormat::Binary);
  return 0;
}
