#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/CaptureFile.h"
#include "core/CapturedDatagram.h"
#include "core/TextMap.h"
#include "decode/DecodeDatagram.h"
#include "decode/clV.h"
#include "views/PacketStore.h"

namespace quillet {

// What a consumer of the packet log is told of each packet stored.
struct StoredPacket {
    std::int64_t seq = 0;
    const clV& record;
    // Whether the source and the destination are the machine's own addresses.
    bool srcLocal = false;
    bool destLocal = false;
    // The payload bytes as captured (valid during the call only).
    std::span<const std::uint8_t> payload;
    // The capture's timestamp, 0 when not known.
    std::int64_t timestampUs = 0;
    // The datagram's length (the payload's when the texts were given).
    std::uint64_t bytes = 0;
    // What came with the datagram from the capture; nullptr when the packet
    // was not captured whole.
    const CapturedDatagram* captured = nullptr;
    // The TCP header's flags as the decoder found them, 0 when not known.
    std::uint8_t tcpFlags = 0;

    std::span<const std::uint8_t> datagram() const
    {
        return captured ? captured->bytes : std::span<const std::uint8_t>();
    }
};

// One who keeps state of its own from the packets stored: told of each, in
// the order the consumers subscribed. Called on the receive path: nothing
// may be allocated per packet once the consumer has seen its like.
class PacketConsumer {
public:
    virtual ~PacketConsumer() = default;
    // A packet is about to be stored (its datagram written first): a
    // consumer may start to fetch what Stored will read, so that the wait
    // for memory overlaps the writing. Changes nothing.
    virtual void Coming(const clV& /*record*/) const {}
    // The same for the packet to be stored after the next one (a fields-only
    // record: no payload, size or time), so that the wait overlaps a whole
    // packet's storing. Changes nothing.
    virtual void Ahead(const clV& /*record*/) const {}
    // Whether Ahead does anything: only those are told (asked once, as the
    // consumer subscribes).
    virtual bool LooksAhead() const { return false; }
    // A packet was stored. Either takes it in or throws having changed nothing.
    virtual void Stored(const StoredPacket& packet) = 0;
    // Whether TakeBack undoes Stored. Those that do are told first; a log
    // has at most one that does not.
    virtual bool TakesBack() const { return false; }
    // A consumer told later threw for this packet, the last stored: undoes
    // Stored, throwing nothing.
    virtual void TakeBack(const StoredPacket& /*packet*/) {}
    // The end of a burst of packets (once per drain of the capture).
    virtual void BurstEnded() {}
};

// The packets of the run: the only owner of their records (the store) and of
// their whole datagrams (the working capture file), and of the machine's own
// addresses by which a packet is sent or received. Window-free.
//
// Appending has the strong guarantee: when a consumer throws, the consumers
// told before it take the packet back, the record goes and the exception
// reaches the caller; nothing is stored anywhere. Consumers that take back
// are told before the one that cannot, told last.
class PacketLog {
public:
    PacketLog();
    ~PacketLog();
    PacketLog(const PacketLog&) = delete;
    PacketLog& operator=(const PacketLog&) = delete;

    // Told of every packet appended from now on, after those subscribed
    // before (those that take back before the one that cannot); the consumer
    // outlives the log. A second consumer that cannot take back is refused
    // (std::logic_error): one told before the other would keep a packet the
    // other refused.
    void Subscribe(PacketConsumer& consumer);
    // Tells every consumer the burst ended.
    void EndBurst();

    // --- the machine's own addresses ------------------------------------------------
    // "127.0.0.1" is dropped.
    void SetLocalAddrs(const std::vector<std::string>& addrs);
    const TextMap<bool>& dLocalAddrs() const { return local_; }
    bool IsLocal(std::string_view addr) const { return local_.exists(addr); }
    // The same for a record's field, without making its text.
    bool IsLocal(const AddressText& addr) const;
    // The local addresses as AddressText bits(), sorted.
    std::span<const std::uint64_t> LocalBits() const { return localBits_; }

    // --- appending -------------------------------------------------------------------
    // The record (every field but mData) with its payload kept in memory;
    // bytes is the datagram's length. Returns the sequence number.
    std::int64_t Append(const clV& record, std::string_view payload, std::uint64_t bytes, std::int64_t tsUs,
                        std::uint8_t tcpFlags = 0);
    // The record of decoded (made from captured.bytes) with the whole
    // datagram appended to the working capture file, where its payload stays.
    // Opens the working file under the default directory when OpenSpool was
    // never called. Returns 0 and stores nothing when the file cannot take the
    // datagram (Error() says why).
    std::int64_t Append(const clV& record, const DecodedDatagram& decoded, const CapturedDatagram& captured);

    // The packet after the next one appended will be of this record (its
    // fields; mData, size and time do not count): the consumers may start
    // to fetch what they will read for it.
    void Ahead(const clV& record) const
    {
        for (const PacketConsumer* consumer : lookingAhead_)
            consumer->Ahead(record);
    }

    // --- reading ---------------------------------------------------------------------
    PacketStore& Store() { return store_; }
    const PacketStore& Store() const { return store_; }
    std::int64_t lSeq() const { return store_.lSeq(); }
    const clV& Record(std::int64_t seq) const { return store_.at(seq); }
    // The whole datagram of a stored packet (as captured), its timestamp and,
    // when asked, its original length; false when it was not kept or cannot
    // be read back (Error()).
    bool Datagram(std::int64_t seq, std::vector<std::uint8_t>& bytes, std::int64_t& tsUs,
                  std::uint32_t* originalLength = nullptr);

    // --- the working capture file ----------------------------------------------------
    // Makes it under baseDir (empty: the default directory) unless it is open
    // already; false with Error() when it cannot be made.
    bool OpenSpool(const std::string& baseDir);
    CaptureSpool* Spool() const { return spool_.get(); }
    const std::string& Error() const { return error_; }

private:
    std::int64_t Tell(const clV& record, std::span<const std::uint8_t> payload, std::uint64_t bytes,
                      std::int64_t tsUs, const CapturedDatagram* captured, std::uint8_t tcpFlags = 0);

    PacketStore store_;
    std::unique_ptr<CaptureSpool> spool_;
    bool spoolTried_ = false;  // a failed OpenSpool is not retried elsewhere
    std::string error_;
    TextMap<bool> local_;
    std::vector<std::uint64_t> localBits_;  // bits() of the local addresses, sorted
    std::vector<PacketConsumer*> consumers_;
    std::vector<const PacketConsumer*> lookingAhead_;  // those of consumers_ that LooksAhead()
    std::size_t takingBack_ = 0;  // the first consumers_, which take back
};

}  // namespace quillet
