#include "telemetry/crashes/Internals/Model/TLStackFrame.h"

#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

namespace {

constexpr const char* kAddressKey = "address";
constexpr const char* kCodeKey = "code";
constexpr const char* kClassNameKey = "className";
constexpr const char* kMethodNameKey = "methodName";
constexpr const char* kLineNumberKey = "lineNumber";
constexpr const char* kFileNameKey = "fileName";

}  // namespace

TLStackFrame::TLStackFrame(foundation::KeyedUnarchiver& coder)
    : address(coder.decodeStringForKey(kAddressKey)),
      code(coder.decodeStringForKey(kCodeKey)),
      className(coder.decodeStringForKey(kClassNameKey)),
      methodName(coder.decodeStringForKey(kMethodNameKey)),
      lineNumber(TLErrorModelCoding::decodeInteger(coder, kLineNumberKey)),
      fileName(coder.decodeStringForKey(kFileNameKey)) {}

void TLStackFrame::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(address, kAddressKey);
  coder.encodeObject(code, kCodeKey);
  coder.encodeObject(className, kClassNameKey);
  coder.encodeObject(methodName, kMethodNameKey);
  coder.encodeObject(TLErrorModelCoding::integerValue(lineNumber), kLineNumberKey);
  coder.encodeObject(fileName, kFileNameKey);
}

std::optional<foundation::Dictionary> TLStackFrame::serializeToDictionary() const {
  foundation::Dictionary dictionary;
  if (address) dictionary.set(kAddressKey, *address);
  if (code) dictionary.set(kCodeKey, *code);
  if (className) dictionary.set(kClassNameKey, *className);
  if (methodName) dictionary.set(kMethodNameKey, *methodName);
  if (lineNumber) dictionary.set(kLineNumberKey, TLErrorModelCoding::integerValue(lineNumber));
  if (fileName) dictionary.set(kFileNameKey, *fileName);
  return dictionary;
}

bool TLStackFrame::isEqual(const foundation::Object& other) const {
  const auto* frame = dynamic_cast<const TLStackFrame*>(&other);
  return frame && address == frame->address && code == frame->code && className == frame->className &&
         methodName == frame->methodName && lineNumber == frame->lineNumber && fileName == frame->fileName;
}
