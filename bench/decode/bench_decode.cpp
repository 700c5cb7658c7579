// Decoding speed: datagrams per second for small and MTU-sized TCP segments,
// each with the usual 12 bytes of timestamp options, over IPv4 and over IPv6
// (DecodeTcp6, the same segment behind a 40-byte IPv6 header). The ...InPlace
// rows leave the payload in the datagram, as the capture does; the others
// copy it out as well. Every row goes round kPairs datagrams, each between
// another pair of addresses, as a busy link's are: no decode finds the
// addresses of the one before (kPairs of them fit the caches at 1400 bytes).
#include <benchmark/benchmark.h>

#include <vector>

#include "decode/DecodeDatagram.h"

namespace {

constexpr std::size_t kPairs = 256;

std::vector<std::uint8_t> TcpSegment(std::size_t total)
{
    std::vector<std::uint8_t> d(total, 0x5A);
    d[0] = 0x45;
    d[2] = static_cast<std::uint8_t>(total >> 8);
    d[3] = static_cast<std::uint8_t>(total);
    d[6] = 0x40;  // don't fragment, fragment offset 0
    d[7] = 0;
    d[8] = 64;
    d[9] = 6;
    const std::uint8_t addrs[8] = {10, 77, 0, 1, 10, 77, 0, 2};
    std::copy(addrs, addrs + 8, d.begin() + 12);
    d[20] = 0xC3, d[21] = 0x50;  // 50000
    d[22] = 0x01, d[23] = 0xBB;  // 443
    d[32] = 8 << 4;              // 32-byte TCP header
    d[33] = 0x18;
    return d;
}

// The same TCP segment behind an IPv6 header instead (the datagram is 20
// bytes longer).
std::vector<std::uint8_t> TcpSegment6(std::size_t total)
{
    std::vector<std::uint8_t> d(total + 20, 0);
    const std::vector<std::uint8_t> v4 = TcpSegment(total);
    d[0] = 0x60;
    const std::size_t payload = total - 20;
    d[4] = static_cast<std::uint8_t>(payload >> 8);
    d[5] = static_cast<std::uint8_t>(payload);
    d[6] = 6;
    d[7] = 64;
    const std::uint8_t addrs[32] = {0xfd, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                                    0xfd, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    std::copy(addrs, addrs + 32, d.begin() + 8);
    std::copy(v4.begin() + 20, v4.end(), d.begin() + 40);
    return d;
}

// kPairs copies of the segment, copy i from host i to host 1000 + i of the
// same network: the last two bytes of each address differ from copy to copy.
std::vector<std::vector<std::uint8_t>> Segments(std::vector<std::uint8_t> (*segment)(std::size_t), std::size_t total)
{
    const auto one = segment(total);
    const bool v6 = one[0] >> 4 == 6;
    const std::size_t srcEnd = v6 ? 24 : 16;  // one past each address
    const std::size_t destEnd = v6 ? 40 : 20;
    std::vector<std::vector<std::uint8_t>> all(kPairs, one);
    for (std::size_t i = 0; i < kPairs; ++i) {
        const std::size_t src = i + 1, dest = 1000 + i;
        all[i][srcEnd - 2] = static_cast<std::uint8_t>(src >> 8);
        all[i][srcEnd - 1] = static_cast<std::uint8_t>(src);
        all[i][destEnd - 2] = static_cast<std::uint8_t>(dest >> 8);
        all[i][destEnd - 1] = static_cast<std::uint8_t>(dest);
    }
    return all;
}

void Decode(benchmark::State& state, std::vector<std::uint8_t> (*segment)(std::size_t), bool copyPayload)
{
    const auto datagrams = Segments(segment, static_cast<std::size_t>(state.range(0)));
    const auto first = quillet::DecodeDatagram(datagrams[0]), second = quillet::DecodeDatagram(datagrams[1]);
    if (!first || !second || first->srcAddr.str() == second->srcAddr.str()
        || first->destAddr.str() == second->destAddr.str()) {
        state.SkipWithError("the datagrams do not decode to different addresses");
        return;
    }
    std::size_t next = 0;
    for (auto _ : state) {
        auto d = quillet::DecodeDatagram(datagrams[next], copyPayload);
        benchmark::DoNotOptimize(d);
        next = (next + 1) % kPairs;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("datagrams/s = items_per_second");
}

void DecodeTcp(benchmark::State& state)
{
    Decode(state, TcpSegment, true);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
void DecodeTcp6(benchmark::State& state)
{
    Decode(state, TcpSegment6, true);
}
void DecodeTcpInPlace(benchmark::State& state)
{
    Decode(state, TcpSegment, false);
}
void DecodeTcp6InPlace(benchmark::State& state)
{
    Decode(state, TcpSegment6, false);
}

}  // namespace

BENCHMARK(DecodeTcp)->Arg(60)->Arg(1400);
BENCHMARK(DecodeTcp6)->Arg(60)->Arg(1400);
BENCHMARK(DecodeTcpInPlace)->Arg(60)->Arg(1400);
BENCHMARK(DecodeTcp6InPlace)->Arg(60)->Arg(1400);
