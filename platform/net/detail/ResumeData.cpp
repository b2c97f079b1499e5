#include "platform/net/detail/ResumeData.h"

#include <cstdlib>
#include <sstream>

#include "platform/net/PercentEncoding.h"

namespace net::detail {
namespace {
constexpr const char* kMagic = "QMResumeData=1";
const URLAllowedCharacters& plain() {
  static const auto set = URLAllowedCharacters::urlUserAllowed().removing("=&+");
  return set;
}
}  // namespace

foundation::Data ResumeData::encode() const {
  std::string text = std::string(kMagic) + "\n";
  auto line = [&](const char* key, const std::string& value) {
    text += std::string(key) + "=" + addingPercentEncoding(value, plain()) + "\n";
  };
  line("url", request.url() ? request.url()->absoluteString() : "");
  line("path", filePath);
  line("offset", std::to_string(offset));
  line("validator", validator);
  for (const auto& [name, value] : request.allHTTPHeaderFields()) line("header", name + ":" + value);
  return foundation::Data(text.begin(), text.end());
}

std::optional<ResumeData> ResumeData::decode(const foundation::Data& data) {
  std::istringstream in(std::string(data.begin(), data.end()));
  std::string line;
  if (!std::getline(in, line) || line != kMagic) return std::nullopt;
  ResumeData out;
  bool haveURL = false;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    auto value = removingPercentEncoding(line.substr(eq + 1));
    if (!value) return std::nullopt;
    std::string key = line.substr(0, eq);
    if (key == "url") {
      auto url = URL::fromString(*value);
      if (!url) return std::nullopt;
      out.request = URLRequest(*url);
      haveURL = true;
    } else if (key == "path") {
      out.filePath = *value;
    } else if (key == "offset") {
      out.offset = std::strtoll(value->c_str(), nullptr, 10);
    } else if (key == "validator") {
      out.validator = *value;
    } else if (key == "header") {
      auto colon = value->find(':');
      if (colon != std::string::npos) out.request.setValue(value->substr(colon + 1), value->substr(0, colon));
    }
  }
  if (!haveURL || out.filePath.empty()) return std::nullopt;
  return out;
}

}  // namespace net::detail
