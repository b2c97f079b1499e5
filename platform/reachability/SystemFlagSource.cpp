#include "platform/reachability/SystemFlagSource.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace reachability {

namespace {

// A file descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The interface's flags (IFF_UP, IFF_RUNNING, IFF_LOOPBACK, ...), or 0 when it is unknown.
int interfaceFlags(int index) {
  char name[IF_NAMESIZE] = {};
  if (index <= 0 || !if_indextoname(static_cast<unsigned>(index), name)) return 0;
  Fd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return 0;
  ifreq request{};
  static_assert(sizeof request.ifr_name == sizeof name);
  std::memcpy(request.ifr_name, name, sizeof name);
  if (::ioctl(probe.get(), SIOCGIFFLAGS, &request) != 0) return 0;
  return request.ifr_flags;
}

bool interfaceIsUp(int index) {
  const int flags = interfaceFlags(index);
  return (flags & IFF_UP) && (flags & IFF_RUNNING);
}

bool interfaceIsLoopback(int index) { return interfaceFlags(index) & IFF_LOOPBACK; }

// One route as the kernel describes it.
struct Route {
  unsigned char type = RTN_UNSPEC;
  unsigned char table = 0;
  unsigned char dstLength = 0;
  int outputInterface = 0;
  bool hasGateway = false;
};

Route parseRoute(const nlmsghdr* header) {
  Route route;
  const auto* message = static_cast<const rtmsg*>(NLMSG_DATA(header));
  route.type = message->rtm_type;
  route.table = message->rtm_table;
  route.dstLength = message->rtm_dst_len;
  int length = static_cast<int>(RTM_PAYLOAD(header));
  for (const rtattr* attr = RTM_RTA(message); RTA_OK(attr, length); attr = RTA_NEXT(attr, length)) {
    if (attr->rta_type == RTA_OIF) std::memcpy(&route.outputInterface, RTA_DATA(attr), sizeof(int));
    if (attr->rta_type == RTA_GATEWAY) route.hasGateway = true;
    if (attr->rta_type == RTA_TABLE) {
      unsigned table = 0;
      std::memcpy(&table, RTA_DATA(attr), sizeof table);
      route.table = static_cast<unsigned char>(table);
    }
  }
  return route;
}

// NLMSG_OK with the sign of `remaining` kept apart: the macro compares the unsigned length with
// the signed count, which NLMSG_NEXT may take below zero past the last message.
bool holdsMessage(const nlmsghdr* header, int remaining) {
  return remaining >= static_cast<int>(sizeof(nlmsghdr)) && header->nlmsg_len >= sizeof(nlmsghdr) &&
         header->nlmsg_len <= static_cast<unsigned>(remaining);
}

// Sends one rtnetlink request and collects the routes of the answer; false when the kernel could
// not be asked. `kernelError` gets the error the kernel answered with (0 for none).
bool askRoutes(const void* request, std::size_t length, std::vector<Route>& routes, int& kernelError) {
  kernelError = 0;
  Fd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!socket.valid()) return false;
  timeval timeout{2, 0};  // the kernel answers at once; this only guards against a lost reply
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(socket.get(), request, length, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) return false;
  std::vector<char> buffer(32768);
  for (;;) {
    const ssize_t received = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
    if (received < 0) return false;
    int remaining = static_cast<int>(received);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); holdsMessage(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
      if (header->nlmsg_type == NLMSG_DONE) return true;
      if (header->nlmsg_type == NLMSG_ERROR) {
        kernelError = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
        return true;
      }
      if (header->nlmsg_type == RTM_NEWROUTE) routes.push_back(parseRoute(header));
      if (!(header->nlmsg_flags & NLM_F_MULTI)) return true;
    }
  }
}

struct RouteRequest {
  nlmsghdr header;
  rtmsg message;
  char attributes[64];
};

RouteRequest makeRequest(unsigned char family, std::uint16_t flags) {
  RouteRequest request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
  request.header.nlmsg_seq = 1;
  request.message.rtm_family = family;
  return request;
}

bool isAnyAddress(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == htonl(INADDR_ANY);
  }
  const auto& six = reinterpret_cast<const sockaddr_in6&>(address);
  return IN6_IS_ADDR_UNSPECIFIED(&six.sin6_addr);
}

// The general network: some interface that is up, not loopback, with a unicast route.
std::optional<Flags> anyNetworkFlags() {
  for (unsigned char family : {AF_INET, AF_INET6}) {
    RouteRequest request = makeRequest(family, NLM_F_DUMP);
    std::vector<Route> routes;
    int error = 0;
    if (!askRoutes(&request, request.header.nlmsg_len, routes, error)) return std::nullopt;
    for (const Route& route : routes) {
      if (route.type != RTN_UNICAST || route.table != RT_TABLE_MAIN) continue;
      if (route.outputInterface == 0 || interfaceIsLoopback(route.outputInterface)) continue;
      if (interfaceIsUp(route.outputInterface)) return kReachable;
    }
  }
  return Flags{0};
}

std::optional<Flags> addressFlags(const sockaddr_storage& address) {
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return std::nullopt;
  if (isAnyAddress(address)) return anyNetworkFlags();
  RouteRequest request = makeRequest(static_cast<unsigned char>(address.ss_family), 0);
  auto* attr = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
  const void* bytes = nullptr;
  std::size_t size = 0;
  if (address.ss_family == AF_INET) {
    bytes = &reinterpret_cast<const sockaddr_in&>(address).sin_addr;
    size = sizeof(in_addr);
    request.message.rtm_dst_len = 32;
  } else {
    bytes = &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    size = sizeof(in6_addr);
    request.message.rtm_dst_len = 128;
  }
  attr->rta_type = RTA_DST;
  attr->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  std::memcpy(RTA_DATA(attr), bytes, size);
  request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_LENGTH(size);

  std::vector<Route> routes;
  int error = 0;
  if (!askRoutes(&request, request.header.nlmsg_len, routes, error)) return std::nullopt;
  if (error != 0 || routes.empty()) return Flags{0};  // no route: unreachable, not unknown
  const Route& route = routes.front();
  if (route.type == RTN_LOCAL) return kReachable | kIsLocalAddress | kIsDirect;
  if (route.type != RTN_UNICAST || !interfaceIsUp(route.outputInterface)) return Flags{0};
  return route.hasGateway ? kReachable : (kReachable | kIsDirect);
}

std::optional<sockaddr_storage> numericAddress(const std::string& text) {
  sockaddr_storage address{};
  auto& four = reinterpret_cast<sockaddr_in&>(address);
  if (inet_pton(AF_INET, text.c_str(), &four.sin_addr) == 1) {
    four.sin_family = AF_INET;
    return address;
  }
  auto& six = reinterpret_cast<sockaddr_in6&>(address);
  if (inet_pton(AF_INET6, text.c_str(), &six.sin6_addr) == 1) {
    six.sin6_family = AF_INET6;
    return address;
  }
  return std::nullopt;
}

}  // namespace

struct SystemFlagSource::State {
  struct Name {
    bool known = false;      // a resolution has finished
    bool resolving = false;
    bool stale = false;      // the network changed since; resolve again on the next question
    std::vector<sockaddr_storage> addresses;
  };

  Resolver resolver;
  std::mutex mutex;
  std::map<std::string, Name> names;
  std::function<void()> handler;
  bool watching = false;

  void changed() {
    std::function<void()> copy;
    {
      std::lock_guard lock(mutex);
      copy = handler;
    }
    if (copy) copy();
  }
};

std::vector<sockaddr_storage> SystemFlagSource::resolveWithSystem(const std::string& hostName) {
  std::vector<sockaddr_storage> addresses;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  if (::getaddrinfo(hostName.c_str(), nullptr, &hints, &results) != 0) return addresses;
  for (addrinfo* entry = results; entry; entry = entry->ai_next) {
    sockaddr_storage address{};
    std::memcpy(&address, entry->ai_addr, std::min<std::size_t>(entry->ai_addrlen, sizeof address));
    addresses.push_back(address);
  }
  ::freeaddrinfo(results);
  return addresses;
}

void SystemFlagSource::resolveInBackground(const std::shared_ptr<State>& state, std::string name) {
  std::thread([state, name] {
    std::vector<sockaddr_storage> addresses = state->resolver(name);
    {
      std::lock_guard lock(state->mutex);
      auto& entry = state->names[name];
      entry.known = true;
      entry.resolving = false;
      entry.addresses = std::move(addresses);
    }
    state->changed();
  }).detach();
}

void SystemFlagSource::watchKernel(std::shared_ptr<State> state) {
  std::thread([state] {
    Fd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket.valid()) return;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
    std::vector<char> buffer(32768);
    for (;;) {
      const ssize_t received = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
      if (received < 0 && errno != EINTR && errno != ENOBUFS) return;
      {
        std::lock_guard lock(state->mutex);
        for (auto& [name, entry] : state->names) entry.stale = true;
      }
      state->changed();
    }
  }).detach();
}

SystemFlagSource::SystemFlagSource(Resolver resolver) : state_(std::make_shared<State>()) {
  state_->resolver = std::move(resolver);
}

SystemFlagSource::~SystemFlagSource() = default;

std::optional<Flags> SystemFlagSource::flagsForAddress(const sockaddr_storage& address) {
  return addressFlags(address);
}

std::optional<Flags> SystemFlagSource::flagsForHostName(const std::string& hostName) {
  if (auto address = numericAddress(hostName)) return addressFlags(*address);
  if (!isWellFormedHostName(hostName)) return Flags{0};
  std::vector<sockaddr_storage> addresses;
  {
    std::lock_guard lock(state_->mutex);
    auto& entry = state_->names[hostName];
    if (!entry.resolving && (!entry.known || entry.stale)) {
      entry.resolving = true;
      entry.stale = false;
      resolveInBackground(state_, hostName);
    }
    if (!entry.known) return std::nullopt;
    addresses = entry.addresses;
  }
  for (const auto& address : addresses) {
    if (auto flags = addressFlags(address); flags && (*flags & kReachable)) return flags;
  }
  return Flags{0};
}

void SystemFlagSource::setChangeHandler(std::function<void()> handler) {
  bool startWatching = false;
  {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
    if (state_->handler && !state_->watching) startWatching = state_->watching = true;
  }
  if (startWatching) watchKernel(state_);
}

bool SystemFlagSource::isWellFormedHostName(const std::string& name) {
  std::string_view rest = name;
  if (!rest.empty() && rest.back() == '.') rest.remove_suffix(1);  // a rooted name
  if (rest.empty() || rest.size() > 253) return false;
  while (!rest.empty()) {
    const std::size_t dot = rest.find('.');
    const std::size_t label = dot == std::string_view::npos ? rest.size() : dot;
    if (label == 0 || label > 63) return false;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
    if (rest.empty()) return false;
  }
  return true;
}

}  // namespace reachability
