#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QHash>
#include <QString>

namespace quillet {

// What the socket tables said about a local endpoint, for the datagrams
// from a sequence number on.
struct OwnerRequest {
    std::uint64_t key = 0;  // SocketEndpoint key
    std::int64_t fromSeq = 0;
    std::int64_t fromUs = 0;  // that packet's capture time, 0 when not known
};
struct OwnerAnswer {
    enum Kind : std::uint8_t {
        None,     // no socket holds it, or its process cannot be read
        Closing,  // only a socket no process holds any more: as before
        Owner,    // text says who
    };
    std::uint64_t key = 0;
    std::int64_t fromSeq = 0;
    Kind kind = None;
    std::string text;  // "name (pid)"
};

// The owners of local endpoints over the run, on the GUI thread: per
// endpoint a short history of (first sequence number, owner), so a packet's
// owner is found from its endpoint and sequence number without anything
// kept per packet.
//
// Receive path: Note() per datagram and endpoint (a hash probe; nothing is
// allocated once the endpoint is known), then TakeBatch() once per burst
// hands the endpoints noted since the last batch to the look-up, and Apply()
// enters its answers. An endpoint is asked about again in every batch it is
// noted in, so one that another program took over gets the new owner from
// the first datagram noted after the change.
class ProgramOwners {
public:
    // Endpoints beyond this many are not looked up (their packets show no owner).
    static constexpr std::size_t kMaxEndpoints = 1u << 18;
    // The entry of an endpoint not kept.
    static constexpr std::uint32_t kNoEntry = UINT32_MAX;
    // A batch asks about at most this many endpoints (its answers are
    // entered in one go); the others wait for the next batch.
    static constexpr std::size_t kMaxBatch = 1u << 14;

    ProgramOwners();

    // Returns the endpoint's entry (kNoEntry past the limit), for OwnerIdAt.
    std::uint32_t Note(std::uint64_t key, std::int64_t seq, std::int64_t tsUs = 0)
    {
        if (key != lastKey_ || lastEntry_ == kNoEntry)
            Probe(key);
        if (lastEntry_ == kNoEntry)
            return kNoEntry;
        Entry& e = entries_[lastEntry_];
        if (e.pendingFrom == 0) {
            e.pendingFrom = seq;
            e.pendingUs = tsUs;
            pending_.push_back(lastEntry_);
        }
        lastNoted_ = seq;
        return lastEntry_;
    }

    bool HasPending() const { return !pending_.empty(); }
    // The endpoints noted since the last batch (the kMaxBatch noted first),
    // each with its first sequence number since then; empty when none.
    std::vector<OwnerRequest> TakeBatch();
    // Enters the answers to a batch. Returns the lowest sequence number whose
    // owner changed, 0 when none did.
    std::int64_t Apply(const std::vector<OwnerAnswer>& answers);
    // An owner found after its packets were answered for: text holds the
    // endpoint for the packets from fromSeq up to untilSeq (0: on), and the
    // owner from untilSeq on stays. Returns fromSeq, 0 when the endpoint is
    // not kept.
    std::int64_t Amend(std::uint64_t key, std::int64_t fromSeq, std::int64_t untilSeq, const std::string& text);
    // Every packet up to this sequence number has been noted and answered for.
    std::int64_t AnsweredThrough() const { return answeredThrough_; }
    // Sequence numbers noted but not answered yet exist.
    bool Unanswered() const { return lastNoted_ > answeredThrough_; }
    // Packets in first..last were never looked up (read from a file): they
    // have no owner whatever their endpoints had.
    void NotLookedUp(std::int64_t first, std::int64_t last);

    // The owner of the packet seq as a capture file gave it ("name (pid)");
    // sequence numbers come in rising order.
    void SetOwnerOf(std::int64_t seq, const std::string& text);
    // That owner, nullptr when the file gave none.
    const QString* OwnerOf(std::int64_t seq) const;
    // The same as a number (OwnerName), 0 when the file gave none.
    std::uint32_t OwnerIdOf(std::int64_t seq) const;
    // Calls each(seq, id) for every packet in first..last a file gave an
    // owner, in rising order.
    template <class Each>
    void EachOwnerGiven(std::int64_t first, std::int64_t last, Each&& each) const
    {
        for (auto it = GivenFrom(first); it != given_.end() && it->first <= last; ++it)
            each(it->first, it->second);
    }

    // The owner of the endpoint for the packet seq; nullptr when none.
    const QString* OwnerAt(std::uint64_t key, std::int64_t seq) const;
    // The same from the entry Note() gave, as a number that stays the
    // owner's for the run (0 none), and the owner of such a number.
    std::uint32_t OwnerIdAt(std::uint32_t entry, std::int64_t seq) const;
    const QString& OwnerName(std::uint32_t id) const { return owners_[id]; }
    // The owners numbered so far: 1 .. OwnerCount() - 1.
    std::uint32_t OwnerCount() const { return static_cast<std::uint32_t>(owners_.size()); }
    // The entry of an endpoint, kNoEntry when it is not kept.
    std::uint32_t EntryOf(std::uint64_t key) const { return Find(key); }

    std::size_t EndpointCount() const { return entries_.size(); }

    // Where Note() and SetOwnerOf() stand, to undo what they did since (for
    // a packet that was not stored after all): RollBack() forgets the
    // endpoints made, the notes and the owners given since the mark,
    // allocating nothing. Nothing else may have changed the owners since.
    struct Mark {
        std::size_t entries = 0;
        std::size_t pending = 0;
        std::size_t given = 0;
        std::int64_t lastNoted = 0;
    };
    Mark Marked() const { return {entries_.size(), pending_.size(), given_.size(), lastNoted_}; }
    void RollBack(const Mark& mark) noexcept;

    // Changes, to a value no other ProgramOwners has had, whenever the owner
    // of a packet stored before may have changed (Apply, Amend, NotLookedUp) or an
    // owner gets a new number (Apply, SetOwnerOf); never 0. While it stays
    // the same, each number names the same owners for the same packets.
    std::uint64_t Version() const { return version_; }

private:
    struct Change {
        std::int64_t fromSeq;
        std::uint32_t owner;  // 0: none
    };
    struct Entry {
        std::uint64_t key = 0;
        std::int64_t pendingFrom = 0;
        std::int64_t pendingUs = 0;
        std::vector<Change> history;
    };

    // Sets lastKey_/lastEntry_ to the entry of key, made when new.
    void Probe(std::uint64_t key);
    std::uint32_t Find(std::uint64_t key) const;
    std::size_t Slot(std::uint64_t key) const { return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_); }
    void Grow();
    std::uint32_t Intern(const std::string& text);
    std::vector<std::pair<std::int64_t, std::uint32_t>>::const_iterator GivenFrom(std::int64_t seq) const;
    void Changed();

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;  // entry index + 1, 0 free
    unsigned shift_ = 0;
    std::uint64_t lastKey_ = 0;
    std::uint32_t lastEntry_ = kNoEntry;
    std::vector<std::uint32_t> pending_;
    std::int64_t lastNoted_ = 0;
    std::int64_t batchThrough_ = 0;  // lastNoted_ when the batch in flight was taken
    std::int64_t answeredThrough_ = 0;
    std::vector<QString> owners_;  // 0: none
    QHash<QString, std::uint32_t> ownerIds_;
    std::vector<std::pair<std::int64_t, std::int64_t>> notLookedUp_;
    std::vector<std::pair<std::int64_t, std::uint32_t>> given_;  // (seq, owner) from files, by seq
    std::uint64_t version_ = 0;
};

}  // namespace quillet
