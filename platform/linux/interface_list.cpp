#include "platform/linux/interface_list.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "platform/interface_addresses.h"

namespace tavrel_mmp::platform {
namespace {

// The numeric host text; a failed conversion leaves the zero-filled buffer, hence "".
std::string numericHost(const sockaddr* address) {
  const socklen_t length =
      address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  std::array<char, NI_MAXHOST> host{};
  ::getnameinfo(address, length, host.data(), host.size(), nullptr, 0, NI_NUMERICHOST);
  return std::string(host.data(), ::strnlen(host.data(), host.size()));
}

// The system's interface list, freed when the walk is over.
class InterfaceList {
 public:
  InterfaceList() {
    if (::getifaddrs(&head_) != 0) head_ = nullptr;
  }
  ~InterfaceList() {
    if (head_ != nullptr) ::freeifaddrs(head_);
  }
  InterfaceList(const InterfaceList&) = delete;
  InterfaceList& operator=(const InterfaceList&) = delete;
  const ifaddrs* head() const { return head_; }

 private:
  ifaddrs* head_ = nullptr;
};

}  // namespace

std::vector<InterfaceAddress> interfaceAddressesIn(const ifaddrs* list) {
  std::vector<InterfaceAddress> addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    addresses.push_back({entry->ifa_name,
                         family == AF_INET6 ? AddressFamily::ipv6 : AddressFamily::ipv4,
                         numericHost(entry->ifa_addr)});
  }
  return addresses;
}

std::vector<InterfaceAddress> systemInterfaceAddresses() {
  const InterfaceList interfaces;
  return interfaceAddressesIn(interfaces.head());
}

}  // namespace tavrel_mmp::platform
