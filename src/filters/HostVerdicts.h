#pragma once

#include <cstdint>
#include <vector>

#include "core/IPv6Text.h"
#include "filters/DisplayFilter.h"
#include "filters/VerdictCache.h"

namespace quillet {

// What the names of each address say to one host check, resolved once from
// a whole list of names (the names are few beside the rows): whether the
// address has a name, whether one of its names passes the check. A row's
// test is then a look-up on its address, with no text made.
class HostVerdicts {
public:
    static constexpr std::uint8_t kNamed = 1;  // the address has a name
    static constexpr std::uint8_t kHit = 2;    // one of its names passes

    explicit HostVerdicts(HostNamesVersion version) : version_(version) {}

    // Or-s verdict into the address's; call before Seal.
    void Add(HostAddress address, std::uint8_t verdict);
    // Keeps the addresses whose verdict has a bit of wanted, for look-up.
    void Seal(std::uint8_t wanted);
    // The verdict of the address, 0 when it has no name.
    std::uint8_t Of(HostAddress address) const
    {
        if (mask_ == 0)
            return 0;
        for (std::size_t i = Slot(address);; i = (i + 1) & mask_) {
            const Entry& e = table_[i];
            if (e.address == address)
                return e.verdict;
            if (e.address == kNone)
                return 0;
        }
    }
    HostNamesVersion Version() const { return version_; }

private:
    static constexpr HostAddress kNone = ~HostAddress{0};  // no address is this
    struct Entry {
        HostAddress address = kNone;
        std::uint8_t verdict = 0;
    };
    std::size_t Slot(HostAddress address) const
    {
        return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
    }

    HostNamesVersion version_;
    std::vector<Entry> added_;
    std::vector<Entry> table_;
    std::size_t mask_ = 0;  // 0: no address has a verdict
};

// The verdicts of one host check for the names version a context is at.
using HostVerdictCache = VerdictCache<HostVerdicts, HostNamesVersion>;

}  // namespace quillet
