#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/CaptureFile.h"
#include "core/PayloadArena.h"
#include "decode/clV.h"

namespace quillet {

// dPackets: every stored packet record for the whole run, keyed by the
// decimal text of its sequence number ("1", "2", ...; no sign, spaces or
// leading zeros). Only grows; a record never moves once stored, so references
// to it stay valid for the life of the store. The sequence number lSeq is
// 64-bit and never stops the store.
class PacketStore {
public:
    PacketStore();
    ~PacketStore();
    PacketStore(const PacketStore&) = delete;
    PacketStore& operator=(const PacketStore&) = delete;

    // Stores the record under the next sequence number and returns it.
    // Strong guarantee: when it throws, nothing is stored.
    std::int64_t add(const clV& record);
    // Makes the next record in place; fill it with clV::add at once.
    // Returns the record and sets seq to its sequence number.
    clV& emplace(std::int64_t& seq);

    // Takes back the record stored last (a store that failed half way).
    void RemoveLast()
    {
        if (seq_ > 0)
            --seq_;
    }
    // Keeps payload bytes for a record about to be stored.
    PayloadRef AppendPayload(std::string_view bytes)
    {
        return PayloadRef(payloads_.append(bytes), static_cast<std::uint32_t>(bytes.size()));
    }
    // The payload bytes of a stored record (empty when it has none or they
    // cannot be read back).
    std::string PayloadOf(const clV& record) const;
    // The same into bytes; false (bytes empty) when the working file cannot
    // give them.
    bool ReadPayload(const clV& record, std::string& bytes) const;
    // Payloads of records whose mData counts header bytes are read from
    // this working capture file, where the receive path appends whole
    // datagrams (PacketLog owns it); the others are in memory.
    void ReadPayloadsFrom(CaptureSpool* spool) { spool_ = spool; }
    CaptureSpool* Spool() const { return spool_; }
    // Bytes kept for payloads.
    std::uint64_t PayloadBytes() const { return payloads_.size(); }

    // The last sequence number used as a key (0 while empty). Equals count().
    std::int64_t lSeq() const { return seq_; }
    std::int64_t count() const { return seq_; }

    // Key lookups by exact text, as the store's keys are written.
    bool exists(std::string_view key) const;
    const clV* item(std::string_view key) const;  // nullptr when absent

    // Lookup by sequence number, 1..lSeq().
    const clV& at(std::int64_t seq) const
    {
        const auto i = static_cast<std::uint64_t>(seq - 1);
        return chunks_[i >> kChunkBits][i & (kChunkSize - 1)];
    }

    // The records stored so far, to be read on another thread while this
    // one goes on storing (records never move; only the list of chunks may).
    class Records {
    public:
        std::int64_t count() const { return count_; }
        const clV& at(std::int64_t seq) const
        {
            const auto i = static_cast<std::uint64_t>(seq - 1);
            return chunks_[i >> kChunkBits][i & (kChunkSize - 1)];
        }
        // How many records from seq on, at most n, lie one after another from &at(seq).
        std::size_t Contiguous(std::int64_t seq, std::size_t n) const
        {
            const auto i = static_cast<std::uint64_t>(seq - 1);
            return static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize - (i & (kChunkSize - 1)), n));
        }

    private:
        friend class PacketStore;
        std::vector<const clV*> chunks_;
        std::int64_t count_ = 0;
    };
    Records Snapshot() const;

    // How many records from seq (1..lSeq()) on, at most count, lie one after
    // another in memory from &at(seq), so a caller may walk them as an array.
    std::size_t Contiguous(std::int64_t seq, std::size_t count) const
    {
        const auto i = static_cast<std::uint64_t>(seq - 1);
        const std::uint64_t inChunk = kChunkSize - (i & (kChunkSize - 1));
        const std::uint64_t stored = static_cast<std::uint64_t>(seq_) - i;
        return static_cast<std::size_t>(std::min<std::uint64_t>({inChunk, stored, count}));
    }

    // The key text of a sequence number.
    static std::string KeyOf(std::int64_t seq) { return std::to_string(seq); }
    // The sequence number a key text stands for, or 0 when the text is not
    // a key this store writes.
    static std::int64_t SeqOfKey(std::string_view key);

private:
    static constexpr unsigned kChunkBits = 14;
    static constexpr std::uint64_t kChunkSize = std::uint64_t{1} << kChunkBits;

    // Records in chunks whose memory comes ready from the system in one call,
    // not page by page as records are written.
    struct ChunkRelease {
        void operator()(clV* chunk) const;
    };
    using Chunk = std::unique_ptr<clV[], ChunkRelease>;
    static Chunk NewChunk();

    std::vector<Chunk> chunks_;
    std::int64_t seq_ = 0;
    PayloadArena payloads_;
    CaptureSpool* spool_ = nullptr;
};

}  // namespace quillet
