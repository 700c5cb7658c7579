#include "programs/ProgramOwners.h"

#include <algorithm>
#include <atomic>

namespace quillet {

namespace {
constexpr unsigned kInitialBits = 10;

std::atomic<std::uint64_t> lastVersion{0};
}  // namespace

ProgramOwners::ProgramOwners() : slots_(std::size_t{1} << kInitialBits, 0), shift_(64 - kInitialBits)
{
    owners_.emplace_back();
    Changed();
}

void ProgramOwners::Changed()
{
    version_ = lastVersion.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t ProgramOwners::Find(std::uint64_t key) const
{
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = Slot(key);; i = (i + 1) & mask) {
        const std::uint32_t slot = slots_[i];
        if (slot == 0)
            return kNoEntry;
        if (entries_[slot - 1].key == key)
            return slot - 1;
    }
}

void ProgramOwners::Grow()
{
    std::vector<std::uint32_t> old(slots_.size() * 2, 0);
    old.swap(slots_);
    --shift_;
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t slot : old) {
        if (slot == 0)
            continue;
        std::size_t i = Slot(entries_[slot - 1].key);
        while (slots_[i] != 0)
            i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

void ProgramOwners::Probe(std::uint64_t key)
{
    lastKey_ = key;
    lastEntry_ = Find(key);
    if (lastEntry_ != kNoEntry || entries_.size() >= kMaxEndpoints)
        return;
    if ((entries_.size() + 1) * 2 > slots_.size())
        Grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = Slot(key);
    while (slots_[i] != 0)
        i = (i + 1) & mask;
    entries_.push_back({key, 0, 0, {}});
    lastEntry_ = static_cast<std::uint32_t>(entries_.size() - 1);
    slots_[i] = lastEntry_ + 1;
}

void ProgramOwners::RollBack(const Mark& mark) noexcept
{
    if (given_.size() > mark.given)
        given_.erase(given_.begin() + static_cast<std::ptrdiff_t>(mark.given), given_.end());
    for (std::size_t i = mark.pending; i < pending_.size(); ++i) {
        Entry& e = entries_[pending_[i]];
        e.pendingFrom = 0;
        e.pendingUs = 0;
    }
    if (pending_.size() > mark.pending)
        pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(mark.pending), pending_.end());
    // The newest endpoint first: nothing made after it probed past its slot,
    // so emptying the slot breaks no other's chain.
    const std::size_t mask = slots_.size() - 1;
    while (entries_.size() > mark.entries) {
        std::size_t i = Slot(entries_.back().key);
        while (slots_[i] != entries_.size())
            i = (i + 1) & mask;
        slots_[i] = 0;
        entries_.pop_back();
    }
    lastKey_ = 0;
    lastEntry_ = kNoEntry;
    lastNoted_ = mark.lastNoted;
}

std::vector<OwnerRequest> ProgramOwners::TakeBatch()
{
    const std::size_t n = std::min(pending_.size(), kMaxBatch);
    std::vector<OwnerRequest> batch;
    batch.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        Entry& e = entries_[pending_[i]];
        batch.push_back({e.key, e.pendingFrom, e.pendingUs});
        e.pendingFrom = 0;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    // Pending endpoints are in the order of their first packets: what is
    // left starts after everything this batch covers.
    batchThrough_ = pending_.empty() ? lastNoted_ : entries_[pending_.front()].pendingFrom - 1;
    return batch;
}

std::uint32_t ProgramOwners::Intern(const std::string& text)
{
    if (text.empty())
        return 0;
    const QString owner = QString::fromStdString(text);
    const auto it = ownerIds_.constFind(owner);
    if (it != ownerIds_.cend())
        return it.value();
    const auto id = static_cast<std::uint32_t>(owners_.size());
    owners_.push_back(owner);
    ownerIds_.insert(owner, id);
    Changed();
    return id;
}

std::int64_t ProgramOwners::Apply(const std::vector<OwnerAnswer>& answers)
{
    std::int64_t lowest = 0;
    for (const OwnerAnswer& a : answers) {
        if (a.kind == OwnerAnswer::Closing)
            continue;
        const std::uint32_t index = Find(a.key);
        if (index == kNoEntry)
            continue;
        std::vector<Change>& history = entries_[index].history;
        const std::uint32_t owner = a.kind == OwnerAnswer::Owner ? Intern(a.text) : 0;
        const std::uint32_t before = history.empty() ? 0 : history.back().owner;
        if (owner == before)
            continue;
        // Answers come in the order their batches were taken.
        const std::int64_t from = history.empty() ? a.fromSeq : std::max(a.fromSeq, history.back().fromSeq);
        if (!history.empty() && history.back().fromSeq == from)
            history.back().owner = owner;
        else
            history.push_back({from, owner});
        if (lowest == 0 || from < lowest)
            lowest = from;
    }
    answeredThrough_ = std::max(answeredThrough_, batchThrough_);
    if (lowest != 0)
        Changed();
    return lowest;
}

std::int64_t ProgramOwners::Amend(std::uint64_t key, std::int64_t fromSeq, std::int64_t untilSeq, const std::string& text)
{
    const std::uint32_t index = Find(key);
    if (index == kNoEntry || fromSeq <= 0 || (untilSeq != 0 && untilSeq <= fromSeq))
        return 0;
    std::vector<Change>& history = entries_[index].history;
    const auto before = [](const Change& c, std::int64_t s) { return c.fromSeq < s; };
    const auto first = std::lower_bound(history.begin(), history.end(), fromSeq, before);
    auto last = untilSeq != 0 ? std::lower_bound(first, history.end(), untilSeq, before) : history.end();
    // The owner from untilSeq on, unless a change starts there.
    const bool keepAfter = untilSeq != 0 && (last == history.end() || last->fromSeq != untilSeq);
    const std::uint32_t after = keepAfter && last != history.begin() ? last[-1].owner : 0;
    const auto at = history.erase(first, last);
    const auto added = history.insert(at, {fromSeq, Intern(text)});
    if (keepAfter)
        history.insert(added + 1, {untilSeq, after});
    Changed();
    return fromSeq;
}

void ProgramOwners::NotLookedUp(std::int64_t first, std::int64_t last)
{
    if (first <= last) {
        notLookedUp_.emplace_back(first, last);
        Changed();
    }
}

void ProgramOwners::SetOwnerOf(std::int64_t seq, const std::string& text)
{
    const std::uint32_t owner = Intern(text);
    if (owner == 0 || (!given_.empty() && given_.back().first >= seq))
        return;
    given_.emplace_back(seq, owner);
}

std::vector<std::pair<std::int64_t, std::uint32_t>>::const_iterator ProgramOwners::GivenFrom(std::int64_t seq) const
{
    return std::lower_bound(given_.begin(), given_.end(), seq,
                            [](const auto& g, std::int64_t s) { return g.first < s; });
}

std::uint32_t ProgramOwners::OwnerIdOf(std::int64_t seq) const
{
    const auto it = GivenFrom(seq);
    return it != given_.end() && it->first == seq ? it->second : 0;
}

const QString* ProgramOwners::OwnerOf(std::int64_t seq) const
{
    const std::uint32_t id = OwnerIdOf(seq);
    return id != 0 ? &owners_[id] : nullptr;
}

const QString* ProgramOwners::OwnerAt(std::uint64_t key, std::int64_t seq) const
{
    const std::uint32_t id = OwnerIdAt(Find(key), seq);
    return id != 0 ? &owners_[id] : nullptr;
}

std::uint32_t ProgramOwners::OwnerIdAt(std::uint32_t entry, std::int64_t seq) const
{
    if (entry >= entries_.size())
        return 0;
    const std::vector<Change>& history = entries_[entry].history;
    // The last change at or before seq.
    const auto after = std::upper_bound(history.begin(), history.end(), seq,
                                        [](std::int64_t s, const Change& c) { return s < c.fromSeq; });
    if (after == history.begin() || after[-1].owner == 0)
        return 0;
    for (const auto& [first, last] : notLookedUp_)
        if (seq >= first && seq <= last)
            return 0;
    return after[-1].owner;
}

}  // namespace quillet
