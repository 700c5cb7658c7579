#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/IPv6Text.h"
#include "core/TextMap.h"

namespace quillet {

// A named selection of packets by address. Made by the filter dialog and not
// changed after it is registered.
class cFilter {
public:
    bool bAND = false;   // both criteria must hold (only when bSrc and bDest)
    bool bSrc = false;   // the source-address criterion is in force
    bool bDest = false;  // the destination-address criterion is in force
    std::string Src;
    std::string Dest;

    // Exact, case-sensitive comparison of whole texts, IPv6 addresses in
    // their canonical form. A criterion not in force never holds; a filter
    // with no criterion admits nothing.
    bool Admits(std::string_view srcAddr, std::string_view destAddr) const
    {
        const bool src = bSrc && SameAddressText(Src, srcAddr);
        const bool dest = bDest && SameAddressText(Dest, destAddr);
        return bAND ? (src && dest) : (src || dest);
    }
};

// dFiltro: filter name (exact text) to its record.
using FilterRegistry = TextMap<std::shared_ptr<const cFilter>>;

}  // namespace quillet
