#include "views/PacketStore.h"

#include <charconv>
#include <memory>
#include <new>

#include <sys/mman.h>

namespace quillet {

namespace {

// Of PacketStore::kChunkSize records.
constexpr std::size_t kChunkBytes = (std::size_t{1} << 14) * sizeof(clV);

}  // namespace

PacketStore::Chunk PacketStore::NewChunk()
{
    static_assert(kChunkBytes == kChunkSize * sizeof(clV));
    void* at = mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (at == MAP_FAILED)
        throw std::bad_alloc();
    clV* records = static_cast<clV*>(at);
    std::uninitialized_value_construct_n(records, kChunkSize);
    return Chunk(records);
}

void PacketStore::ChunkRelease::operator()(clV* chunk) const
{
    std::destroy_n(chunk, kChunkSize);
    munmap(chunk, kChunkBytes);
}

PacketStore::PacketStore() = default;
PacketStore::~PacketStore() = default;

clV& PacketStore::emplace(std::int64_t& seq)
{
    const auto i = static_cast<std::uint64_t>(seq_);
    if ((i >> kChunkBits) == chunks_.size())
        chunks_.push_back(NewChunk());
    seq = ++seq_;
    return chunks_[i >> kChunkBits][i & (kChunkSize - 1)];
}

std::int64_t PacketStore::add(const clV& record)
{
    std::int64_t seq = 0;
    emplace(seq) = record;  // a plain copy of bytes: cannot throw
    return seq;
}

PacketStore::Records PacketStore::Snapshot() const
{
    Records records;
    records.chunks_.reserve(chunks_.size());
    for (const Chunk& chunk : chunks_)
        records.chunks_.push_back(chunk.get());
    records.count_ = seq_;
    return records;
}

std::string PacketStore::PayloadOf(const clV& record) const
{
    std::string bytes;
    ReadPayload(record, bytes);
    return bytes;
}

bool PacketStore::ReadPayload(const clV& record, std::string& bytes) const
{
    bytes.clear();
    if (record.mData.empty())
        return true;
    if (record.mData.headers() != 0 && spool_)
        return spool_->Read(record.mData.offset(), record.mData.length(), bytes);
    payloads_.read(record.mData.offset(), record.mData.length(), bytes);
    return true;
}

std::int64_t PacketStore::SeqOfKey(std::string_view key)
{
    // Exactly the texts KeyOf writes: digits, no sign, no leading zero.
    if (key.empty() || key.front() == '0')
        return 0;
    std::int64_t seq = 0;
    const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), seq);
    if (ec != std::errc() || end != key.data() + key.size() || seq <= 0)
        return 0;
    return seq;
}

bool PacketStore::exists(std::string_view key) const
{
    const std::int64_t seq = SeqOfKey(key);
    return seq != 0 && seq <= seq_;
}

const clV* PacketStore::item(std::string_view key) const
{
    return exists(key) ? &at(SeqOfKey(key)) : nullptr;
}

}  // namespace quillet
