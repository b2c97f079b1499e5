#include "net/pipeline/Response.h"

namespace pipeline::detail {

std::string requestLine(const std::optional<net::URLRequest>& request) {
  if (!request) return "[Request]: nil";
  const std::string& method = request->httpMethod();
  return "[Request]: " + (method.empty() ? std::string("GET") : method) + " " + request->description();
}

std::string responseLine(const HTTPResponsePtr& response) {
  return "[Response]: " + (response ? response->description() : std::string("nil"));
}

std::string bytesLine(const char* label, const std::optional<foundation::Data>& bytes) {
  return std::string("[") + label + "]: " + std::to_string(bytes ? bytes->size() : 0) + " bytes";
}

std::string pathLine(const char* label, const std::optional<net::URL>& url) {
  return std::string("[") + label + "]: " + (url ? url->path() : std::string("nil"));
}

}  // namespace pipeline::detail
