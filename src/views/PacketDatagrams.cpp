// The whole datagrams of stored packets, in the working capture file, read
// back by the offset their records keep.
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
    std::uint32_t original = 0;
    if (!spool_->ReadPacket(ref.offset() - ref.headers(), bytes, tsUs, original)) {
        datagramError_ = spool_->error();
        return false;
    }
    if (originalLength)
        *originalLength = original;
    return true;
}

}  // namespace quillet
