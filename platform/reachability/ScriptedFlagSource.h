#pragma once
// ScriptedFlagSource is a flag source whose answers a test sets: flags per host name or address
// text ("127.0.0.1", "::1", "0.0.0.0"), a default for everything else, and "unreadable" as an
// answer too. Each change is reported to the scheduled targets at once.
#include <map>
#include <mutex>

#include "platform/reachability/FlagSource.h"

namespace reachability {

class ScriptedFlagSource : public FlagSource {
 public:
  // Sets the answer for a host name or an address text; nullopt means "cannot be determined".
  // Reports a change. Thread-safe.
  void setFlags(const std::string& key, std::optional<Flags> flags);
  // Sets the answer for names and addresses that have none of their own (initially 0).
  void setDefaultFlags(std::optional<Flags> flags);

  std::optional<Flags> flagsForAddress(const sockaddr_storage& address) override;
  std::optional<Flags> flagsForHostName(const std::string& hostName) override;
  void setChangeHandler(std::function<void()> handler) override;

  // The text form of an address as setFlags() keys it ("127.0.0.1", "::1").
  static std::string keyFor(const sockaddr_storage& address);

 private:
  std::optional<Flags> lookup(const std::string& key);
  void changed();

  std::mutex mutex_;
  std::map<std::string, std::optional<Flags>> flags_;
  std::optional<Flags> default_ = Flags{0};
  std::function<void()> handler_;
};

}  // namespace reachability
