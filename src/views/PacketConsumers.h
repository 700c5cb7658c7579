#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QString>

#include "core/NameTable.h"
#include "decode/TrafficNames.h"
#include "filters/DisplayFilter.h"
#include "programs/ProgramOwners.h"
#include "views/Conversations.h"
#include "views/PacketLog.h"
#include "views/TrafficTotals.h"

namespace quillet {

// The program column's owners: of the local TCP and UDP endpoints over the
// run (looked up for packets captured now), and of packets whose capture
// named their program. Subscribe before TotalsCounter, which reads what it
// noted of the packet stored last.
class ProgramColumn : public PacketConsumer {
public:
    explicit ProgramColumn(const PacketLog& log) : log_(log) {}

    ProgramOwners& Programs() { return owners_; }
    const ProgramOwners& Programs() const { return owners_; }

    void Stored(const StoredPacket& packet) override;
    bool TakesBack() const override { return true; }
    void TakeBack(const StoredPacket& packet) override;
    // Notes the local endpoints of a stored packet for look-up (no system
    // call, nothing allocated once an endpoint is known). Returns the first
    // endpoint's entry, kNoEntry when it has none; endpoints counts them.
    std::uint32_t Note(std::int64_t seq, std::int64_t tsUs, int& endpoints);
    // The program column of a packet: the owner of its local side (the
    // source when sent, the destination when received; both, the sender's
    // first, when both addresses are local), empty when not known.
    QString ProgramOf(std::int64_t seq, const clV& record) const;
    // The same as owner numbers (ProgramOwners::OwnerName): of one packet,
    // and of count consecutive ones from firstSeq into ids.
    ProgramIds ProgramIdsOf(std::int64_t seq, const clV& record) const;
    void ProgramIdsOf(std::int64_t firstSeq, const clV* records, std::size_t count, ProgramIds* ids) const;

    // Of the packet stored last: how many local endpoints it has, its owner
    // as the capture named it (nullptr: none), whether its endpoints were
    // noted and the first one's entry.
    struct Last {
        std::int64_t seq = 0;
        int endpoints = 0;
        const QString* owner = nullptr;
        bool noted = false;
        std::uint32_t entry = ProgramOwners::kNoEntry;
    };
    const Last& LastStored() const { return last_; }

    // The keys of a record's local TCP or UDP endpoints, the sender's first;
    // returns how many (0..2).
    static int LocalEndpoints(const clV& record, bool srcLocal, bool destLocal, std::uint64_t (&keys)[2]);

private:
    // The owners of the packet's local endpoints.
    ProgramIds EndpointOwners(std::int64_t seq, const clV& record) const;

    const PacketLog& log_;
    ProgramOwners owners_;
    Last last_;
    std::uint64_t keys_[2] = {};  // of the packet stored last
    // As they were before it, for TakeBack.
    struct Before {
        Last last;
        std::uint64_t keys[2] = {};
        ProgramOwners::Mark owners;
    } before_;
};

// The TCP and UDP conversations, numbered as they come.
class ConversationCounter : public PacketConsumer {
public:
    const Conversations& Of() const { return conversations_; }

    // Bench seam: while false, packets are stored without a conversation.
    bool counting = true;

    void Ahead(const clV& record) const override
    {
        if (counting)
            conversations_.PrefetchAhead(record);
    }
    bool LooksAhead() const override { return true; }
    // Whether Ahead does anything now.
    bool GainsFromAhead() const { return counting && conversations_.GainsFromPrefetch(); }
    void Coming(const clV& record) const override
    {
        if (counting)
            conversations_.Prefetch(record);
    }
    void Stored(const StoredPacket& p) override
    {
        if (counting)
            conversations_.Stored(p.seq, p.record, p.tcpFlags, p.bytes, p.timestampUs, p.payload);
    }
    bool TakesBack() const override { return true; }
    void TakeBack(const StoredPacket& p) override { conversations_.TakeBack(p.seq); }

private:
    Conversations conversations_;
};

// The totals per program and host of every stored packet.
class TotalsCounter : public PacketConsumer {
public:
    explicit TotalsCounter(const ProgramColumn& programs) : programs_(programs) {}

    TrafficTotals& Totals() { return totals_; }
    const TrafficTotals& Totals() const { return totals_; }

    void Stored(const StoredPacket& packet) override;
    bool TakesBack() const override { return true; }
    void TakeBack(const StoredPacket&) override { totals_.TakeBackLast(); }
    // Counts the packets whose programs are answered.
    void BurstEnded() override { totals_.Settle(programs_.Programs()); }

private:
    const ProgramColumn& programs_;
    TrafficTotals totals_;
};

// The names the traffic gives addresses: DNS answers (to queries seen), TLS
// server names and HTTP Host headers of stored packets.
class TrafficNamer : public PacketConsumer {
public:
    const NameTable& Names() const { return names_; }
    // Names the address; a name that is no host name (IsHostName) is refused.
    void Set(std::string_view address, std::string_view name);
    // Told of each address whose name changed.
    std::function<void(std::string_view address)> onNamed;

    void Stored(const StoredPacket& packet) override;
    bool TakesBack() const override { return true; }
    void TakeBack(const StoredPacket& packet) override;

private:
    NameTable names_;
    TrafficNameReader reader_;
    std::vector<SeenName> seen_;  // reused
    std::vector<std::string> named_;  // the addresses the packet stored last named
    bool read_ = false;                // the packet stored last was read for names
};

}  // namespace quillet
