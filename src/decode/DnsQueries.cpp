#include "decode/DnsQueries.h"

namespace quillet {

namespace {

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr std::uint64_t kPrime = 0x100000001B3ull;

std::uint64_t Mix(std::uint64_t h, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i, v >>= 8)
        h = (h ^ (v & 0xFF)) * kPrime;
    return h;
}

}  // namespace

std::uint32_t DnsQueries::Bucket(const Ends& ends, const Question& q) const
{
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (const char c : q.name)
        h = (h ^ static_cast<std::uint8_t>(Lower(c))) * kPrime;
    h = Mix(h, ends.clientAddress);
    h = Mix(h, ends.serverAddress);
    h = Mix(h, std::uint64_t{ends.clientPort} << 16 | ends.serverPort);
    h = Mix(h, std::uint64_t{q.id} << 32 | std::uint64_t{q.type} << 16 | q.klass);
    return static_cast<std::uint32_t>((h ^ h >> 32) & mask_);
}

bool DnsQueries::Same(const Entry& e, const Ends& ends, const Question& q)
{
    if (!e.live || e.id != q.id || e.type != q.type || e.klass != q.klass || !(e.ends == ends)
        || e.nameLength != q.name.size())
        return false;
    for (std::size_t i = 0; i < q.name.size(); ++i)
        if (e.name[i] != Lower(q.name[i]))
            return false;
    return true;
}

std::int32_t DnsQueries::Before(std::int32_t at) const
{
    std::int32_t before = -1;
    for (std::int32_t i = heads_[entries_[static_cast<std::size_t>(at)].bucket]; i != at;
         i = entries_[static_cast<std::size_t>(i)].next)
        before = i;
    return before;
}

void DnsQueries::Note(std::int32_t at)
{
    const Entry& e = entries_[static_cast<std::size_t>(at)];
    changes_.push_back({at, e.live ? Before(at) : -1, nextSlot_, e});
}

void DnsQueries::RollBack() noexcept
{
    // Newest first, so that each entry's chain is as it was right after the change.
    for (auto c = changes_.rbegin(); c != changes_.rend(); ++c) {
        Entry& e = entries_[static_cast<std::size_t>(c->at)];
        if (e.live) {
            // Made by an Add: at the head of its chain.
            heads_[e.bucket] = e.next;
            --pending_;
        }
        e = c->old;
        if (e.live) {
            std::int32_t& link = c->before < 0 ? heads_[e.bucket] : entries_[static_cast<std::size_t>(c->before)].next;
            e.next = link;
            link = c->at;
            ++pending_;
        }
        nextSlot_ = c->nextSlot;
    }
    changes_.clear();
}

void DnsQueries::Unlink(std::int32_t at)
{
    Entry& e = entries_[static_cast<std::size_t>(at)];
    std::int32_t* link = &heads_[e.bucket];
    while (*link != at)
        link = &entries_[static_cast<std::size_t>(*link)].next;
    *link = e.next;
    e.next = -1;
    e.live = false;
    --pending_;
}

void DnsQueries::Add(const Ends& ends, const Question& q, std::int64_t timeUs)
{
    if (q.name.size() > kMaxName)
        return;
    if (entries_.empty()) {
        // Both made or neither.
        std::vector<std::int32_t> heads(mask_ + 1, -1);
        entries_.resize(kCapacity);
        heads_ = std::move(heads);
    }
    const auto at = static_cast<std::int32_t>(nextSlot_);
    Note(at);
    nextSlot_ = (nextSlot_ + 1) % kCapacity;
    if (entries_[static_cast<std::size_t>(at)].live)
        Unlink(at);  // the oldest query goes
    Entry& e = entries_[static_cast<std::size_t>(at)];
    e.bucket = Bucket(ends, q);
    e.timeUs = timeUs;
    e.ends = ends;
    e.id = q.id;
    e.type = q.type;
    e.klass = q.klass;
    e.nameLength = static_cast<std::uint8_t>(q.name.size());
    for (std::size_t i = 0; i < q.name.size(); ++i)
        e.name[i] = Lower(q.name[i]);
    e.live = true;
    std::int32_t& head = heads_[e.bucket];
    e.next = head;
    head = at;
    ++pending_;
}

bool DnsQueries::Take(const Ends& ends, const Question& q, std::int64_t timeUs, std::int64_t* queryUs)
{
    if (pending_ == 0 || q.name.size() > kMaxName)
        return false;
    for (std::int32_t at = heads_[Bucket(ends, q)]; at >= 0;) {
        const Entry& e = entries_[static_cast<std::size_t>(at)];
        // Within the window either way, should the clock have stepped back.
        const std::int64_t age = timeUs - e.timeUs;
        if (Same(e, ends, q) && age <= kWindowUs && age >= -kWindowUs) {
            if (queryUs != nullptr)
                *queryUs = e.timeUs;
            Note(at);
            Unlink(at);
            return true;
        }
        at = e.next;
    }
    return false;
}

}  // namespace quillet
