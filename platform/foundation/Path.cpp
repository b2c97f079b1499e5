#include "platform/foundation/Path.h"

#include <vector>

#include "platform/foundation/FileManager.h"

namespace foundation {

std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string standardizingPath(std::string_view path) {
  if (path.empty()) return {};
  std::string expanded;
  if (path == "~" || path.starts_with("~/")) {
    expanded = FileManager::defaultManager().homeDirectory();
    expanded.append(path.substr(1));
  } else {
    expanded.assign(path);
  }

  const bool absolute = expanded.front() == '/';
  std::vector<std::string_view> components;
  std::string_view rest(expanded);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (component.empty() || component == ".") continue;
    if (component == ".." && absolute) {
      if (!components.empty()) components.pop_back();
      continue;
    }
    components.push_back(component);
  }

  std::string standardized = absolute ? "/" : "";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) standardized += '/';
    standardized.append(components[i]);
  }
  return standardized;
}

}  // namespace foundation
