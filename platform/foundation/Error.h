#pragma once
// Error stands in for the platform's error object: a domain, an integer code and a user-info
// dictionary, with the localized description and failure reason read from it. Errors are values;
// an underlying error (the platform's "NSUnderlyingError") is kept as a shared pointer.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation {

// Well-known domains and user-info keys, with the platform's texts.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kMachErrorDomain = "NSMachErrorDomain";
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* kLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr const char* kFilePathErrorKey = "NSFilePath";
inline constexpr const char* kURLErrorKey = "NSURL";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kDebugDescriptionErrorKey = "NSDebugDescription";

class Error : public Object {
 public:
  Error() = default;
  Error(std::string domain, long code, Dictionary userInfo = {},
        std::shared_ptr<const Error> underlying = nullptr);

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const Dictionary& userInfo() const { return userInfo_; }
  Dictionary& mutableUserInfo() { return userInfo_; }
  // The error that caused this one, if any.
  std::shared_ptr<const Error> underlyingError() const { return underlying_; }

  // The user-info description, or "The operation couldn’t be completed. (domain error code.)".
  std::string localizedDescription() const;
  // The user-info failure reason, if any.
  std::optional<std::string> localizedFailureReason() const;

  // "Error Domain=D Code=C \"description\" UserInfo={...}", as the platform prints errors.
  std::string description() const override;
  bool isEqual(const Object& other) const override;
  bool operator==(const Error& other) const;

  // Shorthands for errors made from errno values and from a plain message.
  static Error posix(int errnoValue, const std::string& path = {});
  static Error withDescription(const std::string& domain, long code, const std::string& description);

 private:
  std::string domain_;
  long code_ = 0;
  Dictionary userInfo_;
  std::shared_ptr<const Error> underlying_;
};

}  // namespace foundation
