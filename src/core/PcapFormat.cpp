#include "core/PcapFormat.h"

#include <cstring>

#include "core/FormatBytes.h"

namespace quillet::pcapfile {

using formatbytes::PutAt;
using formatbytes::U32;

void PutFileHeader(std::vector<std::uint8_t>& out, int linkType, std::uint32_t snapLength)
{
    const std::size_t at = out.size();
    out.resize(at + kFileHeaderBytes);
    std::uint8_t* p = out.data() + at;
    PutAt<std::uint32_t>(p, kMagicMicro);
    PutAt<std::uint16_t>(p, 2);
    PutAt<std::uint16_t>(p, 4);
    PutAt<std::int32_t>(p, 0);   // time zone offset
    PutAt<std::uint32_t>(p, 0);  // timestamp accuracy
    PutAt<std::uint32_t>(p, snapLength);
    PutAt<std::uint32_t>(p, static_cast<std::uint32_t>(linkType));
}

bool ParseFileHeader(std::span<const std::uint8_t> bytes, FileHeader& header)
{
    if (bytes.size() < kFileHeaderBytes)
        return false;
    const std::uint32_t magic = U32(bytes.data(), false);
    for (const bool swapped : {false, true}) {
        for (const std::uint32_t known : {kMagicMicro, kMagicNano}) {
            if (magic != (swapped ? __builtin_bswap32(known) : known))
                continue;
            header.swapped = swapped;
            header.nanoseconds = known == kMagicNano;
            header.snapLength = U32(&bytes[16], swapped);
            header.linkType = static_cast<int>(U32(&bytes[20], swapped) & 0xFFFF);
            return true;
        }
    }
    return false;
}

std::size_t RecordBytes(std::size_t captured)
{
    return kRecordHeaderBytes + captured;
}

std::uint32_t PutRecord(std::uint8_t* out, std::int64_t timestampUs, std::span<const std::uint8_t> data,
                        std::uint32_t originalLength)
{
    const auto caplen = static_cast<std::uint32_t>(data.size());
    const std::uint64_t ts = timestampUs < 0 ? 0 : static_cast<std::uint64_t>(timestampUs);
    PutAt(out, static_cast<std::uint32_t>(ts / 1000000));
    PutAt(out, static_cast<std::uint32_t>(ts % 1000000));
    PutAt(out, caplen);
    PutAt(out, originalLength < caplen ? caplen : originalLength);
    if (caplen != 0)
        std::memcpy(out, data.data(), caplen);
    return kRecordHeaderBytes;
}

RecordHeader ParseRecordHeader(std::span<const std::uint8_t> bytes, const FileHeader& file)
{
    RecordHeader r;
    const std::uint32_t fraction = U32(&bytes[4], file.swapped);
    r.timestampUs = std::int64_t{U32(&bytes[0], file.swapped)} * 1000000 + (file.nanoseconds ? fraction / 1000 : fraction);
    r.captured = U32(&bytes[8], file.swapped);
    r.originalLength = U32(&bytes[12], file.swapped);
    return r;
}

}  // namespace quillet::pcapfile
