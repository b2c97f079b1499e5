#pragma once
// Host stands in for the platform's host object, reduced to what the application asks of the
// machine it runs on: its network name and its human-readable name. Both read the system afresh
// on each call and are safe from any thread.
#include <string>
#include <string_view>

namespace foundation {

class Host {
 public:
  // The kernel's host name (gethostname). "localhost" when the system gives none.
  static std::string currentHostName();
  // The machine's pretty name (PRETTY_HOSTNAME in /etc/machine-info) when one is set, else the
  // host name.
  static std::string localizedName();
  // The PRETTY_HOSTNAME value of a machine-info text, unquoted; `fallback` when there is none.
  static std::string localizedNameFromMachineInfo(std::string_view contents,
                                                  const std::string& fallback);
};

}  // namespace foundation
