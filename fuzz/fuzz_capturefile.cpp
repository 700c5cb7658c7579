// Feeds arbitrary bytes to the capture file reader as a pcap/pcapng file, with
// IPv6 on as the window reads files; every datagram it hands on must be an IPv4
// or IPv6 datagram within the frame, and writing those datagrams out and
// reading them again must give them back unchanged, original lengths included.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/CaptureFileReader.h"
#include "core/CaptureFile.h"
#include "FuzzCheck.h"

using quillet::fuzz::Check;

namespace {

struct Datagram {
    std::int64_t ts;
    std::vector<std::uint8_t> bytes;
    std::uint32_t original;
};

std::string PathOf(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

std::vector<Datagram> ReadAll(const std::string& path, bool& opened)
{
    std::vector<Datagram> out;
    std::string error;
    auto reader = quillet::CaptureFileReader::Open(path, error, true);
    opened = reader != nullptr;
    if (!reader)
        return out;
    const quillet::CaptureFileReader::DatagramFn fn = [&](const quillet::CapturedDatagram& c) {
        const std::span<const std::uint8_t> d = c.bytes;
        const std::uint32_t original = c.originalLength;
        const std::int64_t ts = c.timestampUs;
        Check(!c.live);
        Check((d.size() >= 20 && (d[0] >> 4) == 4) || (d.size() >= 40 && (d[0] >> 4) == 6));
        Check(original >= d.size());
        out.push_back({ts, std::vector<std::uint8_t>(d.begin(), d.end()), original});
    };
    quillet::CaptureFileReader::Status s;
    int rounds = 0;
    while ((s = reader->Read(64, fn)) == quillet::CaptureFileReader::Status::More)
        Check(++rounds < 1000000);
    Check(reader->skipped() <= reader->framesRead());
    Check(static_cast<std::int64_t>(out.size()) + reader->skipped() == reader->framesRead());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int in = memfd_create("in", MFD_CLOEXEC);
    Check(in >= 0);
    Check(write(in, data, size) == static_cast<ssize_t>(size));
    bool opened = false;
    std::vector<Datagram> first = ReadAll(PathOf(in), opened);
    close(in);
    if (!opened)
        return 0;

    const int out = memfd_create("out", MFD_CLOEXEC);
    Check(out >= 0);
    const std::string outPath = PathOf(out);
    std::string error;
    const bool pcapng = size % 2 == 0;
    auto writer = quillet::CaptureFileWriter::Create(
        outPath, pcapng ? quillet::CaptureFileFormat::Pcapng : quillet::CaptureFileFormat::Pcap,
        quillet::CaptureFileWriter::kLinkTypeRaw, error);
    Check(writer != nullptr);
    for (Datagram& d : first) {
        // Classic pcap keeps 32-bit seconds; only those timestamps survive it.
        d.ts = d.ts < 0 ? 0 : d.ts % (std::int64_t{0x7FFFFFFF} * 1000000);
        Check(writer->Append(d.ts, d.bytes, d.original));
    }
    Check(writer->Close());
    bool again = false;
    const std::vector<Datagram> second = ReadAll(outPath, again);
    close(out);
    Check(again && second.size() == first.size());
    for (std::size_t i = 0; i < first.size(); ++i)
        Check(second[i].bytes == first[i].bytes && second[i].ts == first[i].ts
              && second[i].original == first[i].original);
    return 0;
}
