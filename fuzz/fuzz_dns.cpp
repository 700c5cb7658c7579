// Feeds arbitrary bytes to the DNS reader, as a UDP message and as a TCP
// segment of length-prefixed messages, each after the same bytes sent the
// other way as a query (so that the answer is read); any crash, overflow,
// undefined behaviour, name that is not a host name, or more queries kept
// than the table holds is a finding.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decode/TrafficNames.h"
#include "FuzzCheck.h"

using quillet::fuzz::Check;
using quillet::fuzz::CheckHostName;

namespace {

// The segment with each whole message's response bit cleared.
std::vector<std::uint8_t> AsQueries(std::span<const std::uint8_t> tcp)
{
    std::vector<std::uint8_t> q(tcp.begin(), tcp.end());
    for (std::size_t at = 0; at + 2 <= q.size();) {
        const std::size_t n = static_cast<std::size_t>(q[at] << 8 | q[at + 1]);
        if (at + 2 + n > q.size())
            break;
        if (n > 2)
            q[at + 4] &= 0x7F;
        at += 2 + n;
    }
    return q;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    const quillet::Endpoint client{1, 40000};
    const quillet::Endpoint server{2, 53};
    quillet::TrafficNameReader reader;
    std::vector<quillet::SeenName> out;
    std::vector<std::uint8_t> query(bytes.begin(), bytes.end());
    if (query.size() > 2)
        query[2] &= 0x7F;
    reader.Read(17, client, server, 0, "10.0.0.1", query, out);
    reader.Read(17, server, client, 1, "10.0.0.1", bytes, out);
    reader.Read(6, client, server, 2, "10.0.0.1", AsQueries(bytes), out);
    reader.Read(6, server, client, 3, "10.0.0.1", bytes, out);
    Check(reader.Queries().pending() <= quillet::DnsQueries::kCapacity);
    for (const quillet::SeenName& n : out) {
        Check(!n.address.empty());
        CheckHostName(n.name);
    }
    return 0;
}
