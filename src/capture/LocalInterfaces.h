#pragma once

#include <cstdint>
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

// One IPv6 address of one network interface.
struct InterfaceAddress6 {
    std::string interfaceName;
    std::uint8_t address[16] = {};
    // Neither loopback (::1) nor link-local (fe80::/10): what the address
    // chooser offers.
    bool global() const;
    bool loopback() const;
};

// Every IPv6 address of the machine's interfaces, in the system's order.
// Returns 0, or the errno of a failed query (list empty).
int ListInterfaceAddresses6(std::vector<InterfaceAddress6>& list);

// The name of the first interface that carries the IPv6 address, if any.
std::optional<std::string> InterfaceCarrying6(const std::uint8_t* address);

}  // namespace quillet
