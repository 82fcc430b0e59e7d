#include "device/interface_address.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "core/utf8.h"
#include "device/device_info.h"

namespace tavrel_mmp {
namespace {

// The numeric host text; a failed conversion leaves the zero-filled buffer, hence "".
std::string numericHost(const sockaddr* address) {
  const socklen_t length =
      address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  std::array<char, NI_MAXHOST> host{};
  ::getnameinfo(address, length, host.data(), host.size(), nullptr, 0, NI_NUMERICHOST);
  return toValidUtf8(std::string_view(host.data(), ::strnlen(host.data(), host.size())));
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

std::optional<std::string> lastNumericAddress(const ifaddrs* list,
                                              const std::string& interfaceName) {
  std::optional<std::string> address;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_name == nullptr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    if (interfaceName != entry->ifa_name) continue;
    address = numericHost(entry->ifa_addr);  // no early exit: the last match wins
  }
  return address;
}

const char* rawValue(Network network) {
  return network == Network::cellular ? "pdp_ip0" : "en0";
}

std::optional<Network> networkFromRawValue(const std::string& rawValue) {
  if (rawValue == "en0") return Network::wifi;
  if (rawValue == "pdp_ip0") return Network::cellular;
  return std::nullopt;
}

std::optional<std::string> DeviceInfo::getIPAddress(Network network) {
  const InterfaceList interfaces;
  if (interfaces.head() == nullptr) return std::nullopt;
  return lastNumericAddress(interfaces.head(), rawValue(network));
}

}  // namespace tavrel_mmp
