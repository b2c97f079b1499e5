#pragma once
// SystemFlagSource reads reachability from the Linux kernel over rtnetlink: an address is
// reachable when the kernel has a route to it through an interface that is up (local addresses
// also get the local-address bit, routes without a gateway the direct bit); the "any" address is
// reachable when some non-loopback interface that is up carries a unicast route. A watch thread
// on the link, address and route groups reports changes. Host names are resolved on a background
// thread (never on the caller's) and re-resolved after the network changes; a name that is not a
// well-formed DNS name, or that does not resolve, is not reachable.
#include <memory>
#include <string>
#include <vector>

#include "platform/reachability/FlagSource.h"

namespace reachability {

class SystemFlagSource : public FlagSource {
 public:
  // Turns a host name into its addresses (empty when it does not resolve). Runs on a background
  // thread and may take as long as the system's resolver does.
  using Resolver = std::function<std::vector<sockaddr_storage>(const std::string& hostName)>;

  // The system's resolver (getaddrinfo).
  static std::vector<sockaddr_storage> resolveWithSystem(const std::string& hostName);

  explicit SystemFlagSource(Resolver resolver = &SystemFlagSource::resolveWithSystem);
  ~SystemFlagSource() override;

  // Nullopt when the kernel cannot be asked (no netlink socket).
  std::optional<Flags> flagsForAddress(const sockaddr_storage& address) override;
  // Nullopt while the first resolution of the name runs.
  std::optional<Flags> flagsForHostName(const std::string& hostName) override;
  // Starts the watch thread on first use.
  void setChangeHandler(std::function<void()> handler) override;

  // Whether `name` can be put in a DNS query at all (labels of 1 to 63 bytes, 253 in all).
  static bool isWellFormedHostName(const std::string& name);

 private:
  struct State;
  static void resolveInBackground(const std::shared_ptr<State>& state, std::string name);
  static void watchKernel(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace reachability
