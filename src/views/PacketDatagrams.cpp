// The whole datagrams of stored packets, appended to the working capture file
// as they are stored and read back by offset.
#include <limits>

#include "core/CaptureFile.h"
#include "views/PacketViews.h"

namespace quillet {

struct PacketViews::KeptDatagrams {
    struct Entry {
        std::uint64_t offset = 0;
        std::uint32_t length = kMissing;
        std::int64_t tsUs = 0;
    };
    static constexpr std::uint32_t kMissing = std::numeric_limits<std::uint32_t>::max();

    std::unique_ptr<CaptureSpool> spool;
    std::vector<Entry> entries;  // by sequence number - 1
    std::string error;
};

bool PacketViews::KeepDatagram(std::int64_t seq, std::span<const std::uint8_t> datagram, std::int64_t timestampUs)
{
    if (!kept_)
        kept_ = std::make_shared<KeptDatagrams>();
    KeptDatagrams& k = *kept_;
    if (seq < 1)
        return false;
    if (!k.spool) {
        k.spool = CaptureSpool::Create(CaptureSpool::DefaultDirectory(), k.error);
        if (!k.spool)
            return false;
    }
    std::uint64_t offset = 0;
    if (!k.spool->Append(timestampUs, datagram, static_cast<std::uint32_t>(datagram.size()), offset)) {
        k.error = k.spool->error();
        return false;
    }
    const auto index = static_cast<std::size_t>(seq - 1);
    if (k.entries.size() <= index)
        k.entries.resize(index + 1);
    k.entries[index] = {offset, static_cast<std::uint32_t>(datagram.size()), timestampUs};
    return true;
}

bool PacketViews::DatagramOf(std::int64_t seq, std::vector<std::uint8_t>& bytes, std::int64_t& tsUs)
{
    bytes.clear();
    if (!kept_ || seq < 1 || static_cast<std::size_t>(seq) > kept_->entries.size() ||
        kept_->entries[static_cast<std::size_t>(seq - 1)].length == KeptDatagrams::kMissing) {
        if (kept_)
            kept_->error = "packet " + std::to_string(seq) + " is not in the capture file";
        return false;
    }
    const KeptDatagrams::Entry& e = kept_->entries[static_cast<std::size_t>(seq - 1)];
    tsUs = e.tsUs;
    if (!kept_->spool->Read(e.offset, e.length, bytes)) {
        kept_->error = kept_->spool->error();
        return false;
    }
    return true;
}

const std::string& PacketViews::DatagramError() const
{
    static const std::string none;
    return kept_ ? kept_->error : none;
}

}  // namespace quillet
