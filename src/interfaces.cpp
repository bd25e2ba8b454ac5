#include "interfaces.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// The list is asked for again with twice the room while it fills the
// buffer, since it may have grown between the two calls.
constexpr int FIRST_ENTRIES = 16;
constexpr int MOST_ENTRIES = 1 << 16;

IpAddress address_of(const sockaddr& address) {
  sockaddr_in inet{};
  std::memcpy(&inet, &address, sizeof inet);
  return IpAddress::from_v4(inet.sin_addr);
}

// The interface's entries as SIOCGIFCONF lists them (one for each IPv4
// address, named by the address's label), or nothing.
std::optional<std::vector<ifreq>> list_addresses(int fd) {
  for (int entries = FIRST_ENTRIES; entries <= MOST_ENTRIES; entries *= 2) {
    std::vector<ifreq> requests(static_cast<std::size_t>(entries));
    ifconf list{};
    list.ifc_len = static_cast<int>(requests.size() * sizeof(ifreq));
    list.ifc_req = requests.data();
    if (ioctl(fd, SIOCGIFCONF, &list) != 0) return std::nullopt;
    const auto used = static_cast<std::size_t>(list.ifc_len) / sizeof(ifreq);
    if (used < requests.size()) {
      requests.resize(used);
      return requests;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<InterfaceAddress>> read_interface_addresses() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  const auto requests = list_addresses(fd);
  if (!requests) {
    close(fd);
    return std::nullopt;
  }
  std::vector<InterfaceAddress> addresses;
  for (const ifreq& listed : *requests) {
    if (listed.ifr_addr.sa_family != AF_INET) continue;
    InterfaceAddress own;
    own.address = address_of(listed.ifr_addr);
    // With the address given, the netmask asked for is that address's, not
    // the first one under the same label.
    ifreq request = listed;
    if (ioctl(fd, SIOCGIFNETMASK, &request) != 0) continue;  // gone meanwhile
    own.netmask = address_of(request.ifr_netmask);
    // An alias label ("eth0:1") names its interface's index.
    request = listed;
    if (ioctl(fd, SIOCGIFINDEX, &request) != 0) continue;
    own.ifindex = request.ifr_ifindex;
    addresses.push_back(own);
  }
  close(fd);
  return addresses;
}
