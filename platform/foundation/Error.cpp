#include "platform/foundation/Error.h"

#include <cstring>

namespace foundation {

Error::Error(std::string domain, long code, Dictionary userInfo, std::shared_ptr<const Error> underlying)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)), underlying_(std::move(underlying)) {}

std::string Error::localizedDescription() const {
  const Value& description = userInfo_.get(kLocalizedDescriptionKey);
  if (description.isString()) return description.stringValue();
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const {
  const Value& reason = userInfo_.get(kLocalizedFailureReasonErrorKey);
  if (reason.isString()) return reason.stringValue();
  return std::nullopt;
}

std::string Error::description() const {
  std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                    localizedDescription() + "\"";
  if (!userInfo_.empty() || underlying_) {
    out += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : userInfo_) {
      out += (first ? "" : ", ") + key + "=" +
             (value.isString() ? value.stringValue() : value.description());
      first = false;
    }
    if (underlying_) out += std::string(first ? "" : ", ") + kUnderlyingErrorKey + "=" + underlying_->description();
    out += "}";
  }
  return out;
}

bool Error::isEqual(const Object& other) const {
  const auto* error = dynamic_cast<const Error*>(&other);
  return error && *this == *error;
}

bool Error::operator==(const Error& other) const {
  return domain_ == other.domain_ && code_ == other.code_ && userInfo_ == other.userInfo_;
}

Error Error::posix(int errnoValue, const std::string& path) {
  Dictionary info{{kLocalizedDescriptionKey, Value(std::string(std::strerror(errnoValue)))}};
  if (!path.empty()) info.set(kFilePathErrorKey, path);
  return Error(kPOSIXErrorDomain, errnoValue, std::move(info));
}

Error Error::withDescription(const std::string& domain, long code, const std::string& description) {
  return Error(domain, code, Dictionary{{kLocalizedDescriptionKey, Value(description)}});
}

}  // namespace foundation
