// The whole datagrams of stored packets, in the working capture file, read
// back by the offset their records keep.
#include <cstring>

#include "core/CaptureFile.h"
#include "views/PacketViews.h"

namespace quillet {

bool PacketViews::OpenSpool(const std::string& baseDir)
{
    if (spool_)
        return true;
    spoolTried_ = true;
    std::string error;
    spool_ = CaptureSpool::Create(baseDir.empty() ? CaptureSpool::DefaultDirectory() : baseDir, error);
    if (!spool_) {
        datagramError_ = error;
        return false;
    }
    store_.ReadPayloadsFrom(spool_.get());
    return true;
}

bool PacketViews::DatagramOf(std::int64_t seq, std::vector<std::uint8_t>& bytes, std::int64_t& tsUs,
                             std::uint32_t* originalLength)
{
    bytes.clear();
    const PayloadRef ref = seq >= 1 && seq <= store_.lSeq() ? store_.at(seq).mData : PayloadRef();
    if (!spool_ || ref.headers() == 0) {
        datagramError_ = "packet " + std::to_string(seq) + " is not in the capture file";
        return false;
    }
    // The working file is pcapng: the 16 bytes before a datagram are its
    // timestamp (high and low 32 bits, microseconds), captured and original
    // lengths.
    const std::uint64_t start = ref.offset() - ref.headers();
    std::vector<std::uint8_t> header;
    if (start < 16 || !spool_->Read(start - 16, 16, header)) {
        datagramError_ = spool_->error();
        return false;
    }
    std::uint32_t fields[4];
    std::memcpy(fields, header.data(), sizeof fields);
    tsUs = static_cast<std::int64_t>((std::uint64_t{fields[0]} << 32) | fields[1]);
    if (originalLength)
        *originalLength = fields[3];
    if (!spool_->Read(start, fields[2], bytes)) {
        datagramError_ = spool_->error();
        return false;
    }
    return true;
}

}  // namespace quillet
