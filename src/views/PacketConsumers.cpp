#include "views/PacketConsumers.h"

#include "core/HostName.h"
#include "programs/SocketEndpoint.h"
#include "programs/SocketOwners.h"

namespace quillet {

// --- the program column -------------------------------------------------------

int ProgramColumn::LocalEndpoints(const clV& r, bool srcLocal, bool destLocal, std::uint64_t (&keys)[2])
{
    if (!srcLocal && !destLocal)
        return 0;
    std::uint32_t protocol = 0;
    if (!r.mProtocol.packed(protocol) || (protocol != SocketEndpoint::kTcp && protocol != SocketEndpoint::kUdp))
        return 0;
    int n = 0;
    const auto side = [&](bool local, const AddressText& addr, const PortText5& port) {
        HostAddress a = 0;
        std::uint32_t p = 0;
        if (local && addr.host(a) && port.packed(p))
            keys[n++] = SocketEndpoint{static_cast<std::uint8_t>(protocol), static_cast<std::uint32_t>(a),
                                       static_cast<std::uint16_t>(p), a >= kIPv6Host}
                            .Key();
    };
    side(srcLocal, r.mSrcAddr, r.mSrcPort);
    side(destLocal, r.mDestAddr, r.mDestPort);
    return n;
}

void ProgramColumn::Stored(const StoredPacket& p)
{
    before_.last = last_;
    before_.keys[0] = keys_[0];
    before_.keys[1] = keys_[1];
    before_.owners = owners_.Marked();
    try {
        last_ = Last{};
        last_.seq = p.seq;
        last_.endpoints = LocalEndpoints(p.record, p.srcLocal, p.destLocal, keys_);
        if (const CapturedDatagram* c = p.captured; c && (!c->program.empty() || c->pid > 0)) {
            owners_.SetOwnerOf(p.seq, !c->program.empty() ? std::string(c->program) : SocketOwner{c->pid, {}}.Text());
            last_.owner = owners_.OwnerOf(p.seq);
        }
        // Only what is captured now belongs to sockets now.
        if (p.captured && p.captured->live) {
            int endpoints = 0;
            last_.entry = Note(p.seq, p.timestampUs, endpoints);
            last_.noted = true;
        }
    } catch (...) {
        TakeBack(p);
        throw;
    }
}

void ProgramColumn::TakeBack(const StoredPacket&)
{
    owners_.RollBack(before_.owners);
    last_ = before_.last;
    keys_[0] = before_.keys[0];
    keys_[1] = before_.keys[1];
}

std::uint32_t ProgramColumn::Note(std::int64_t seq, std::int64_t tsUs, int& endpoints)
{
    std::uint64_t keys[2] = {keys_[0], keys_[1]};
    if (seq == last_.seq) {
        endpoints = last_.endpoints;
    } else {
        const clV& r = log_.Record(seq);
        endpoints = LocalEndpoints(r, log_.IsLocal(r.mSrcAddr), log_.IsLocal(r.mDestAddr), keys);
    }
    std::uint32_t entry = ProgramOwners::kNoEntry;  // the first endpoint's: the totals count it
    for (int i = 0; i < endpoints; ++i) {
        const std::uint32_t noted = owners_.Note(keys[i], seq, tsUs);
        if (i == 0)
            entry = noted;
    }
    return entry;
}

ProgramIds ProgramColumn::ProgramIdsOf(std::int64_t seq, const clV& record) const
{
    if (const std::uint32_t given = owners_.OwnerIdOf(seq))
        return {given, 0};
    return EndpointOwners(seq, record);
}

ProgramIds ProgramColumn::EndpointOwners(std::int64_t seq, const clV& record) const
{
    ProgramIds ids;
    if (owners_.EndpointCount() == 0)
        return ids;
    std::uint64_t keys[2];
    const int n = LocalEndpoints(record, log_.IsLocal(record.mSrcAddr), log_.IsLocal(record.mDestAddr), keys);
    for (int i = 0; i < n; ++i) {
        const std::uint32_t id = owners_.OwnerIdAt(owners_.EntryOf(keys[i]), seq);
        if (id == 0 || id == ids.first)
            continue;
        (ids.first == 0 ? ids.first : ids.second) = id;
    }
    return ids;
}

void ProgramColumn::ProgramIdsOf(std::int64_t firstSeq, const clV* records, std::size_t count, ProgramIds* ids) const
{
    std::fill(ids, ids + count, ProgramIds{});
    if (owners_.OwnerCount() <= 1 || count == 0)
        return;  // no owner is known: no packet has one
    // The owners files gave first; a packet with one shows it alone.
    owners_.EachOwnerGiven(firstSeq, firstSeq + static_cast<std::int64_t>(count) - 1,
                           [&](std::int64_t seq, std::uint32_t id) { ids[seq - firstSeq] = {id, 0}; });
    if (owners_.EndpointCount() == 0)
        return;
    for (std::size_t i = 0; i < count; ++i)
        if (ids[i].first == 0)
            ids[i] = EndpointOwners(firstSeq + static_cast<std::int64_t>(i), records[i]);
}

QString ProgramColumn::ProgramOf(std::int64_t seq, const clV& record) const
{
    const ProgramIds ids = ProgramIdsOf(seq, record);
    if (ids.second == 0)
        return owners_.OwnerName(ids.first);
    return owners_.OwnerName(ids.first) + QStringLiteral(", ") + owners_.OwnerName(ids.second);
}

// --- totals ---------------------------------------------------------------------

void TotalsCounter::Stored(const StoredPacket& p)
{
    const clV& r = p.record;
    // The other end: the destination of what this machine sent, else the source.
    const bool remoteIsDest = p.srcLocal && !p.destLocal;
    const AddressText* remote = p.srcLocal && p.destLocal ? nullptr : remoteIsDest ? &r.mDestAddr : &r.mSrcAddr;
    const ProgramColumn::Last& last = programs_.LastStored();
    const bool known = last.seq == p.seq;
    // Adds it all or nothing.
    totals_.Add(remote, known && last.endpoints > 0, p.srcLocal, p.bytes, p.timestampUs,
                known ? last.owner : nullptr);
    if (known && last.noted && last.endpoints > 0)
        totals_.AwaitLookUp(p.seq, last.entry);
}

// --- names seen in the traffic ---------------------------------------------------

void TrafficNamer::Set(std::string_view address, std::string_view name)
{
    names_.Mark();  // no packet's: nothing of it is taken back
    if (IsHostName(name) && names_.Set(address, name) && onNamed)
        onNamed(address);
}

void TrafficNamer::Stored(const StoredPacket& p)
{
    read_ = false;
    const clV& record = p.record;
    std::uint32_t protocol = 0;
    std::uint32_t srcPort = 0;
    std::uint32_t destPort = 0;
    if (p.payload.empty() || !record.mProtocol.packed(protocol) || (protocol != 6 && protocol != 17)
        || !record.mSrcPort.packed(srcPort) || !record.mDestPort.packed(destPort))
        return;
    // What the reader and the names change from here on can be taken back.
    reader_.Mark();
    names_.Mark();
    named_.clear();
    read_ = true;
    seen_.clear();
    try {
        // A name for the destination comes back without an address; its text is
        // made only for the names that come back, not for every datagram.
        reader_.Read(static_cast<std::uint8_t>(protocol),
                     {record.mSrcAddr.bits(), static_cast<std::uint16_t>(srcPort)},
                     {record.mDestAddr.bits(), static_cast<std::uint16_t>(destPort)}, p.timestampUs,
                     std::string_view(), p.payload, seen_);
        named_.reserve(seen_.size());
        for (const SeenName& seen : seen_) {
            const auto destination = record.mDestAddr.text();
            const std::string_view address = seen.address.empty() ? destination.view() : std::string_view(seen.address);
            if (IsHostName(seen.name) && names_.Set(address, seen.name))
                named_.emplace_back(address);
        }
        if (onNamed)
            for (const std::string& address : named_)
                onNamed(address);
    } catch (...) {
        TakeBack(p);
        throw;
    }
}

void TrafficNamer::TakeBack(const StoredPacket&)
{
    if (!read_)
        return;  // it changed nothing
    read_ = false;
    reader_.RollBack();
    names_.RollBack();
    // Those told of a new name read the old one again; telling them changes
    // nothing kept, so a failure to is no failure of the taking back.
    if (onNamed)
        for (const std::string& address : named_) {
            try {
                onNamed(address);
            } catch (...) {
            }
        }
    named_.clear();
}

}  // namespace quillet
