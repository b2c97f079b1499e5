#include "platform/foundation/Host.h"

#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/foundation/ProcessInfo.h"

namespace foundation {

std::string Host::currentHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

std::string Host::localizedName() {
  std::ifstream file("/etc/machine-info");
  std::ostringstream contents;
  if (file) contents << file.rdbuf();
  return localizedNameFromMachineInfo(contents.str(), currentHostName());
}

std::string Host::localizedNameFromMachineInfo(std::string_view contents,
                                               const std::string& fallback) {
  const auto value = ProcessInfo::shellAssignment(contents, "PRETTY_HOSTNAME");
  return value && !value->empty() ? *value : fallback;
}

}  // namespace foundation
