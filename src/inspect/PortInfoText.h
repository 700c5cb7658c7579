#pragma once

#include <string>
#include <string_view>

#include "ports/PortDatabases.h"

namespace quillet {

// The info window's text: for the source port and then the destination port,
// the port text after three spaces and its name in each of the three
// databases after " [IANA]: ", " [PREDEF]: " and " [TROJAN]: " (empty when a
// database has no entry). Eight lines joined by CR LF, none after the last.
// The ports are looked up as given: pass the port numbers, not the names the
// list may show.
std::string PortInfoText(std::string_view srcPort, std::string_view destPort, const PortDatabases& db);

}  // namespace quillet
