#pragma once
// ResumeData is what a cancelled or failed download leaves for a later task to continue from:
// the request, the partial file, how much of it is there, and the validator that lets the
// server confirm the resource has not changed. Encoded as "key=value" lines with
// percent-encoded values, so it survives being stored as opaque bytes by clients.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"

namespace net::detail {

struct ResumeData {
  URLRequest request;
  std::string filePath;
  std::int64_t offset = 0;
  std::string validator;

  foundation::Data encode() const;
  // Nothing when `data` is not resume data of this layer.
  static std::optional<ResumeData> decode(const foundation::Data& data);
};

}  // namespace net::detail

namespace net::detail {
// The request stored in resume data, for the original request of the task made from it.
inline std::optional<URLRequest> ResumeDataRequest(const foundation::Data& data) {
  auto decoded = ResumeData::decode(data);
  if (!decoded) return std::nullopt;
  return decoded->request;
}
}  // namespace net::detail
