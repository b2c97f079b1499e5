#include "platform/net/MIMEType.h"

#include <cctype>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>

namespace net {
namespace {

struct Table {
  std::mutex mutex;
  std::string path = "/etc/mime.types";
  bool loaded = false;
  std::unordered_map<std::string, std::string> byExtension;
};

Table& table() {
  static Table t;
  return t;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void load(Table& t) {
  t.byExtension.clear();
  std::ifstream in(t.path);
  std::string line;
  while (std::getline(in, line)) {
    auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string type, extension;
    if (!(words >> type)) continue;
    // The first type listed for an extension wins, as the table's readers conventionally do.
    while (words >> extension) t.byExtension.emplace(lower(extension), type);
  }
  t.loaded = true;
}

}  // namespace

std::string mimeTypeForPathExtension(std::string_view pathExtension) {
  static const std::string kFallback = "application/octet-stream";
  if (pathExtension.empty()) return kFallback;
  Table& t = table();
  std::lock_guard lock(t.mutex);
  if (!t.loaded) load(t);
  auto it = t.byExtension.find(lower(pathExtension));
  return it == t.byExtension.end() ? kFallback : it->second;
}

void setMIMETypesFileForTesting(std::string path) {
  Table& t = table();
  std::lock_guard lock(t.mutex);
  t.path = std::move(path);
  t.loaded = false;
}

}  // namespace net
