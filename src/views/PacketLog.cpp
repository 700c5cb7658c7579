#include "views/PacketLog.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "filters/DisplayFilter.h"

namespace quillet {

PacketLog::PacketLog() = default;
PacketLog::~PacketLog() = default;

void PacketLog::Subscribe(PacketConsumer& consumer)
{
    if (consumer.TakesBack())
        consumers_.insert(consumers_.begin() + static_cast<std::ptrdiff_t>(takingBack_++), &consumer);
    else if (consumers_.size() == takingBack_)
        consumers_.push_back(&consumer);
    else
        throw std::logic_error("the packet log has a consumer that cannot take back already");
    if (consumer.LooksAhead())
        lookingAhead_.push_back(&consumer);  // should this fail, it is subscribed all the same, told nothing ahead
}

void PacketLog::EndBurst()
{
    for (PacketConsumer* consumer : consumers_)
        consumer->BurstEnded();
}

void PacketLog::SetLocalAddrs(const std::vector<std::string>& addrs)
{
    local_.clear();
    localBits_.clear();
    for (const std::string& addr : addrs)
        if (addr != "127.0.0.1") {
            local_.assign(addr, true);
            if (AddressText::Keeps(addr))  // another text is no record's
                localBits_.push_back(AddressText(addr).bits());
        }
    std::sort(localBits_.begin(), localBits_.end());
}

bool PacketLog::IsLocal(const AddressText& addr) const
{
    return InLocalBits(localBits_, addr.bits());
}

std::int64_t PacketLog::Tell(const clV& record, std::span<const std::uint8_t> payload, std::uint64_t bytes,
                             std::int64_t tsUs, const CapturedDatagram* captured, std::uint8_t tcpFlags)
{
    const std::int64_t seq = store_.add(record);  // when it throws, nothing is stored
    const clV& stored = store_.at(seq);
    const StoredPacket packet{seq,  stored, IsLocal(stored.mSrcAddr), IsLocal(stored.mDestAddr), payload, tsUs, bytes,
                              captured, tcpFlags};
    std::size_t told = 0;
    try {
        for (; told < consumers_.size(); ++told)
            consumers_[told]->Stored(packet);
    } catch (...) {
        while (told > 0)
            consumers_[--told]->TakeBack(packet);
        store_.RemoveLast();
        throw;
    }
    return seq;
}

std::int64_t PacketLog::Append(const clV& record, std::string_view payload, std::uint64_t bytes, std::int64_t tsUs,
                              std::uint8_t tcpFlags)
{
    clV kept = record;
    kept.mData = store_.AppendPayload(payload);
    return Tell(kept, {reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()}, bytes, tsUs, nullptr, tcpFlags);
}

std::int64_t PacketLog::Append(const clV& record, const DecodedDatagram& d, const CapturedDatagram& captured)
{
    if (!spool_ && (spoolTried_ || !OpenSpool(std::string())))
        return 0;
    for (const PacketConsumer* consumer : consumers_)
        consumer->Coming(record);
    std::uint64_t offset = 0;
    if (!spool_->Append(captured.timestampUs, captured.bytes, captured.originalLength, offset)) {
        error_ = spool_->error();
        return 0;
    }
    clV kept = record;
    // The header byte count is never 0 for a datagram (at least 20): that
    // tells the store the payload is in the file.
    kept.mData = PayloadRef(offset + d.payloadAt, static_cast<std::uint32_t>(d.size),
                            static_cast<std::uint8_t>(d.payloadAt));
    // The decoder keeps the payload inside the datagram.
    return Tell(kept, captured.bytes.subspan(d.payloadAt, static_cast<std::size_t>(d.size)),
                d.payloadAt + static_cast<std::uint64_t>(d.size), captured.timestampUs, &captured, d.tcpFlags);
}

bool PacketLog::OpenSpool(const std::string& baseDir)
{
    if (spool_)
        return true;
    spoolTried_ = true;
    std::string error;
    spool_ = CaptureSpool::Create(baseDir.empty() ? CaptureSpool::DefaultDirectory() : baseDir, error);
    if (!spool_) {
        error_ = error;
        return false;
    }
    store_.ReadPayloadsFrom(spool_.get());
    return true;
}

bool PacketLog::Datagram(std::int64_t seq, std::vector<std::uint8_t>& bytes, std::int64_t& tsUs,
                         std::uint32_t* originalLength)
{
    bytes.clear();
    const PayloadRef ref = seq >= 1 && seq <= store_.lSeq() ? store_.at(seq).mData : PayloadRef();
    if (!spool_ || ref.headers() == 0) {
        error_ = "packet " + std::to_string(seq) + " is not in the capture file";
        return false;
    }
    std::uint32_t original = 0;
    if (!spool_->ReadPacket(ref.offset() - ref.headers(), bytes, tsUs, original)) {
        error_ = spool_->error();
        return false;
    }
    if (originalLength)
        *originalLength = original;
    return true;
}

}  // namespace quillet
