// Feeds arbitrary bytes to the TLS ClientHello and HTTP request readers as
// one TCP segment; any crash, overflow, undefined behaviour or name that is
// not a host name is a finding.
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
    quillet::TrafficNameReader reader;
    reader.Read(6, {1, 40000}, {2, 443}, 0, "10.0.0.2", std::span<const std::uint8_t>(data, size), out);
    for (const quillet::SeenName& n : out) {
        Check(n.address == "10.0.0.2");
        CheckHostName(n.name);
    }
    return 0;
}
