// Display filter speed over a store of decoded records: each filter on the
// record's fields asked of every stored row, on one thread and on two (each
// half of the rows), row by row (Matches) and by spans of consecutive
// records (MatchSpan); Walk reads each record without a filter. Counters: sec_per_row (ns per row at the "n" prefix)
// and the share of rows that pass.
//
// BENCH_ROWS sets the rows stored (default 10,000,000). BENCH_PCAP=FILE
// writes the first BENCH_PCAP_ROWS (default 1,000,000) datagrams as a pcap
// file of raw IP frames and prints how many of them each filter passes,
// for comparing with `tshark -r FILE -Y FILTER`.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "decode/DecodeDatagram.h"
#include "filters/DisplayFilter.h"
#include "views/PacketStore.h"

using namespace quillet;

namespace {

const char* const kFilters[] = {
    "ip.src == 10.0.0.0/8 and tcp.port == 443",
    "ip.addr == 192.168.1.20 and udp",
    "tcp.port in {22 80 443 8000..8100}",
    "ipv6.addr == 2001:db8::/32 or ip.proto == 1",
    "not tcp and not udp",
    "tcp.dstport == 443 or udp.dstport == 53",
    "ip.dst == 172.16.0.0/12 and tcp.srcport >= 1024",
    "len > 100 or not icmp and port != 12",
};

const char* const kSentFilter = "sent and not udp";

// The machine's own addresses and nothing else, as the views keep them.
class Context : public DisplayFilterContext {
public:
    Context() : own_{AddressText("192.168.1.20").bits(), AddressText("fd00::20").bits()}
    {
        std::sort(own_.begin(), own_.end());
        SetLocalBits(own_);
    }
    QString ProgramOf(std::int64_t, const clV&) const override { return {}; }
    void NamesOf(const AddressText&, std::vector<QString>&) const override {}
    bool PayloadOf(std::int64_t, const clV&, std::string&) const override { return false; }

private:
    std::vector<std::uint64_t> own_;
};

void Put16(std::uint8_t* p, unsigned v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// A datagram of a busy machine's mix: mostly IPv4, TCP and UDP to and from
// its own address, some ICMP; ports well-known on one side.
std::vector<std::uint8_t> Datagram(std::mt19937& rng)
{
    const bool v6 = rng() % 5 == 0;
    const unsigned pick = rng() % 10;
    const std::uint8_t protocol = pick < 6 ? 6 : pick < 9 ? 17 : (v6 ? 58 : 1);
    const std::size_t transport = protocol == 6 ? 20 : protocol == 17 ? 8 : 8;
    const std::size_t payload = rng() % 200;
    const std::size_t ip = v6 ? 40 : 20;
    std::vector<std::uint8_t> d(ip + transport + payload, 0);
    std::uint8_t own[16] = {};
    std::uint8_t other[16] = {};
    if (v6) {
        const std::uint8_t mine[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20};
        std::memcpy(own, mine, 16);
        other[0] = 0x20;
        other[1] = rng() % 2 ? 0x01 : 0x02;  // half in 2001:db8::/32
        other[2] = 0x0d;
        other[3] = 0xb8;
        for (int i = 4; i < 16; ++i)
            other[i] = static_cast<std::uint8_t>(rng());
    } else {
        const std::uint8_t mine[4] = {192, 168, 1, 20};
        std::memcpy(own, mine, 4);
        const unsigned net = rng() % 4;
        other[0] = net == 0 ? 10 : net == 1 ? 172 : net == 2 ? 8 : static_cast<std::uint8_t>(64 + rng() % 100);
        other[1] = static_cast<std::uint8_t>(net == 1 ? 16 + rng() % 32 : rng());
        other[2] = static_cast<std::uint8_t>(rng());
        other[3] = static_cast<std::uint8_t>(1 + rng() % 254);
    }
    const bool sent = rng() % 2 == 0;
    const std::uint8_t* src = sent ? own : other;
    const std::uint8_t* dst = sent ? other : own;
    if (v6) {
        d[0] = 0x60;
        Put16(&d[4], static_cast<unsigned>(transport + payload));
        d[6] = protocol;
        d[7] = 64;
        std::memcpy(&d[8], src, 16);
        std::memcpy(&d[24], dst, 16);
    } else {
        d[0] = 0x45;
        Put16(&d[2], static_cast<unsigned>(d.size()));
        d[8] = 64;
        d[9] = protocol;
        std::memcpy(&d[12], src, 4);
        std::memcpy(&d[16], dst, 4);
    }
    std::uint8_t* t = &d[ip];
    if (protocol == 6 || protocol == 17) {
        static const unsigned kServices[] = {22, 53, 80, 443, 443, 443, 8080, 8000};
        unsigned service = kServices[rng() % 8];
        if (service == 8000)
            service += rng() % 200;
        if (protocol == 17 && rng() % 2)
            service = 53;
        const unsigned ephemeral = 1024 + rng() % 64000;
        Put16(t, sent ? ephemeral : service);
        Put16(t + 2, sent ? service : ephemeral);
        if (protocol == 6)
            t[12] = 5 << 4;
        else
            Put16(t + 4, static_cast<unsigned>(transport + payload));
    } else {
        t[0] = 8;  // echo request
    }
    return d;
}

struct Traffic {
    std::vector<std::vector<std::uint8_t>> datagrams;  // the pool
    std::vector<std::uint32_t> order;                  // which datagram each row is
    PacketStore store;

    Traffic()
    {
        const char* rowsEnv = std::getenv("BENCH_ROWS");
        const std::int64_t rows = rowsEnv != nullptr ? std::atoll(rowsEnv) : 10'000'000;
        std::mt19937 rng(27);
        std::vector<clV> records;
        while (datagrams.size() < 65536) {
            auto d = Datagram(rng);
            const auto decoded = DecodeDatagram(d, false);
            if (!decoded)
                continue;
            clV r;
            r.mProtocol = decoded->protocol;
            r.mSrcAddr = decoded->srcAddr;
            r.mDestAddr = decoded->destAddr;
            r.mSrcPort = decoded->srcPort;
            r.mDestPort = decoded->destPort;
            r.mSize.assignPacked(static_cast<std::uint32_t>(decoded->size));
            r.mData = PayloadRef(0, static_cast<std::uint32_t>(decoded->size));
            r.mHora = "12:00:00.00";
            records.push_back(r);
            datagrams.push_back(std::move(d));
        }
        order.reserve(static_cast<std::size_t>(rows));
        for (std::int64_t i = 0; i < rows; ++i) {
            order.push_back(static_cast<std::uint32_t>(rng() % datagrams.size()));
            store.add(records[order.back()]);
        }
    }
};

Traffic& TheTraffic()
{
    static Traffic traffic;
    return traffic;
}

std::int64_t Count(const DisplayFilter& f, const PacketStore& store, std::int64_t from, std::int64_t to,
                   const DisplayFilterContext& context)
{
    std::int64_t n = 0;
    for (std::int64_t seq = from; seq <= to; ++seq)
        n += f.Matches(seq, store.at(seq), context);
    return n;
}

// The same by spans of consecutive records (MatchSpan).
std::int64_t CountSpans(const DisplayFilter& f, const PacketStore& store, std::int64_t from, std::int64_t to,
                        const DisplayFilterContext& context)
{
    std::int64_t n = 0;
    std::uint8_t passed[4096];
    for (std::int64_t seq = from; seq <= to;) {
        const std::size_t count = store.Contiguous(seq, std::min<std::int64_t>(sizeof passed, to - seq + 1));
        f.MatchSpan(seq, &store.at(seq), count, context, passed);
        for (std::size_t i = 0; i < count; ++i)
            n += passed[i];
        seq += static_cast<std::int64_t>(count);
    }
    return n;
}

void Filter(benchmark::State& state, const char* text, int threads, bool spans)
{
    Traffic& traffic = TheTraffic();
    const PacketStore& store = traffic.store;
    const auto filter = DisplayFilter::Compile(text, nullptr);
    if (!filter) {
        state.SkipWithError("the filter does not compile");
        return;
    }
    const Context context;
    const std::int64_t rows = store.count();
    const auto count = spans ? CountSpans : Count;
    std::int64_t passed = 0;
    for (auto _ : state) {
        if (threads == 1) {
            passed = count(*filter, store, 1, rows, context);
        } else {
            std::int64_t counts[2] = {};
            const std::int64_t half = rows / 2;
            std::thread other([&] { counts[1] = count(*filter, store, half + 1, rows, context); });
            counts[0] = count(*filter, store, 1, half, context);
            other.join();
            passed = counts[0] + counts[1];
        }
        benchmark::DoNotOptimize(passed);
    }
    state.counters["sec_per_row"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
    state.counters["passed"] = static_cast<double>(passed) / static_cast<double>(rows);
    state.SetLabel(text);
}

// The floor: every record read, one field summed, no filter.
void Walk(benchmark::State& state)
{
    const PacketStore& store = TheTraffic().store;
    const std::int64_t rows = store.count();
    for (auto _ : state) {
        std::uint64_t sum = 0;
        for (std::int64_t seq = 1; seq <= rows; ++seq)
            sum += store.at(seq).mSrcAddr.bits();
        benchmark::DoNotOptimize(sum);
    }
    state.counters["sec_per_row"] =
        benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}

void WritePcap(const char* path)
{
    Traffic& traffic = TheTraffic();
    const char* rowsEnv = std::getenv("BENCH_PCAP_ROWS");
    const std::int64_t rows =
        std::min<std::int64_t>(rowsEnv != nullptr ? std::atoll(rowsEnv) : 1'000'000, traffic.store.count());
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::FILE* out = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (out == nullptr) {
        std::perror(path);
        return;
    }
    const std::uint32_t header[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 101};  // raw IP
    std::fwrite(header, sizeof header, 1, out);
    for (std::int64_t i = 0; i < rows; ++i) {
        const auto& d = traffic.datagrams[traffic.order[static_cast<std::size_t>(i)]];
        const std::uint32_t record[4] = {1700000000u + static_cast<std::uint32_t>(i / 1000),
                                         static_cast<std::uint32_t>(i % 1000) * 1000,
                                         static_cast<std::uint32_t>(d.size()), static_cast<std::uint32_t>(d.size())};
        std::fwrite(record, sizeof record, 1, out);
        std::fwrite(d.data(), 1, d.size(), out);
    }
    std::fclose(out);
    const Context context;
    std::printf("wrote %lld datagrams to %s; rows each filter passes among them:\n", static_cast<long long>(rows),
                path);
    for (const char* text : kFilters) {
        const auto f = DisplayFilter::Compile(text, nullptr);
        std::printf("  %8lld  %s\n", static_cast<long long>(Count(*f, traffic.store, 1, rows, context)), text);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (const char* pcap = std::getenv("BENCH_PCAP")) {
        WritePcap(pcap);
        return 0;
    }
    benchmark::RegisterBenchmark("Walk", Walk)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
    std::vector<const char*> filters(std::begin(kFilters), std::end(kFilters));
    filters.push_back(kSentFilter);
    for (const char* text : filters)
        for (const bool spans : {false, true})
            for (const int threads : {1, 2})
                benchmark::RegisterBenchmark((std::string(spans ? "Span" : "Row") + (threads == 1 ? "/1thread" : "/2threads")).c_str(),
                                             [text, threads, spans](benchmark::State& s) { Filter(s, text, threads, spans); })
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->MinTime(0.5);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
