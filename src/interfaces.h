// The machine's IPv4 addresses, each with its netmask and interface, read
// through ioctl on an AF_INET socket (the service allows no other family, so
// neither netlink nor getifaddrs). The main thread calls it; it takes no lock.
#pragma once

#include <optional>
#include <vector>

#include "peer_table.h"

// Every IPv4 address of every interface, aliases and secondary addresses
// included; nothing when the list cannot be read.
std::optional<std::vector<InterfaceAddress>> read_interface_addresses();
