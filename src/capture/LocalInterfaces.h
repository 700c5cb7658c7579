#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/IPv4Text.h"

namespace quillet {

// One IPv4 address of one network interface.
struct InterfaceAddress {
    std::string interfaceName;
    IPv4 address = kNoAddress;
};

// Every IPv4 address of the machine's interfaces, in the system's order,
// loopback included. Returns 0, or the errno of a failed query (list empty).
int ListInterfaceAddresses(std::vector<InterfaceAddress>& list);

// The name of the first interface that carries the address, if any.
std::optional<std::string> InterfaceCarrying(IPv4 address);

}  // namespace quillet
