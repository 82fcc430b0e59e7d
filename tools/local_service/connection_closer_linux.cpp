// httplib hands a handler no way to its connection, so the connection is found among the
// process's descriptors by its two ports: a pair of ports names one live TCP connection, and
// the one sought stays open while its handler runs, so no descriptor can be reused under us.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>

#include "local_service/connection_closer.h"

namespace tavrel_mmp::tools {
namespace {

// The port of an IPv4 or IPv6 socket address; -1 for any other family.
int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

bool hasPorts(int fd, int localPort, int peerPort) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      portOf(address) != localPort) {
    return false;
  }
  length = sizeof address;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
         portOf(address) == peerPort;
}

}  // namespace

bool shutDownConnection(int localPort, int peerPort) {
  const std::unique_ptr<DIR, int (*)(DIR*)> descriptors(::opendir("/proc/self/fd"), &::closedir);
  if (!descriptors) return false;
  while (const dirent* entry = ::readdir(descriptors.get())) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;  // "." and ".."
    if (hasPorts(static_cast<int>(fd), localPort, peerPort)) {
      return ::shutdown(static_cast<int>(fd), SHUT_RDWR) == 0;
    }
  }
  return false;
}

}  // namespace tavrel_mmp::tools
