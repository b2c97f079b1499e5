#include "fuzz/SameValue.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace fuzz {

namespace {

using foundation::Value;
using Type = Value::Type;

bool sameBits(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  std::uint64_t x = 0;
  std::uint64_t y = 0;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

bool sameInteger(const Value& a, const Value& b) {
  const bool aSigned = a.type() == Type::Int;
  const bool bSigned = b.type() == Type::Int;
  if (aSigned && bSigned) return a.intValue() == b.intValue();
  if (aSigned && a.intValue() < 0) return false;
  if (bSigned && b.intValue() < 0) return false;
  return a.uintValue() == b.uintValue();
}

bool isInteger(const Value& v) { return v.type() == Type::Int || v.type() == Type::UInt; }

// A short description of a leaf for the difference text.
std::string shortly(const Value& v) {
  std::string text;
  switch (v.type()) {
    case Type::Array: return "an array of " + std::to_string(v.arrayValue().size());
    case Type::Dictionary: return "a dictionary of " + std::to_string(v.dictionaryValue().size());
    default: text = v.description();
  }
  if (text.size() > 80) text = text.substr(0, 80) + "...";
  return text;
}

std::string difference(const Value& a, const Value& b, const std::string& path) {
  // Described only where they differ: describing every node would cost more than comparing.
  const auto here = [&] { return (path.empty() ? "the root" : path) + ": " + shortly(a) + " against " + shortly(b); };
  if (isInteger(a) && isInteger(b)) return sameInteger(a, b) ? "" : here();
  if (a.type() != b.type()) return here();
  switch (a.type()) {
    case Type::Null: return "";
    case Type::Bool: return a.boolValue() == b.boolValue() ? "" : here();
    case Type::Double: return sameBits(a.doubleValue(), b.doubleValue()) ? "" : here();
    case Type::String: return a.stringValue() == b.stringValue() ? "" : here();
    case Type::Data: return a.dataValue() == b.dataValue() ? "" : here();
    case Type::Date:
      return sameBits(a.dateValue().timeIntervalSinceReferenceDate(), b.dateValue().timeIntervalSinceReferenceDate())
                 ? ""
                 : here();
    case Type::Array: {
      const auto& x = a.arrayValue();
      const auto& y = b.arrayValue();
      if (x.size() != y.size()) return here();
      for (std::size_t i = 0; i < x.size(); ++i) {
        auto found = difference(x[i], y[i], path + "[" + std::to_string(i) + "]");
        if (!found.empty()) return found;
      }
      return "";
    }
    case Type::Dictionary: {
      const auto& x = a.dictionaryValue();
      const auto& y = b.dictionaryValue();
      if (x.size() != y.size()) return here();
      for (const auto& [key, value] : x) {
        const Value* other = y.find(key);
        if (!other) return here() + " (no key \"" + key + "\")";
        auto found = difference(value, *other, path + "." + key);
        if (!found.empty()) return found;
      }
      return "";
    }
    case Type::Object: return a == b ? "" : here();
    default: return here();
  }
}

}  // namespace

bool sameValue(const Value& a, const Value& b) { return firstDifference(a, b).empty(); }

std::string firstDifference(const Value& a, const Value& b) { return difference(a, b, ""); }

}  // namespace fuzz
