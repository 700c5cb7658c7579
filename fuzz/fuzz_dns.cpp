// Feeds arbitrary bytes to the DNS answer reader, as a UDP message and as a
// TCP segment of length-prefixed messages; any crash, overflow, undefined
// behaviour or name that is not a host name is a finding.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decode/TrafficNames.h"
#include "FuzzCheck.h"

using quillet::fuzz::Check;
using quillet::fuzz::CheckHostName;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<quillet::SeenName> out;
    quillet::NamesInPayload(17, 53, 40000, "10.0.0.1", std::span<const std::uint8_t>(data, size), out);
    quillet::NamesInPayload(6, 40000, 53, "10.0.0.1", std::span<const std::uint8_t>(data, size), out);
    for (const quillet::SeenName& n : out) {
        Check(!n.address.empty());
        CheckHostName(n.name);
    }
    return 0;
}
