#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "core/LinearProbing.h"

namespace quillet {

// An open-addressing set of 64-bit entries, each found by a key that KeyOf
// takes from it (the entry itself, or some of its bits), that grows without
// a pause: when one more entry would fill it past half, a table twice the
// size is made and the entries of the old one move over a few at a time, with
// each insertion after it, so that no call moves more than kMovesPerInsert
// slots. A table of millions of entries grows in a stream of packets as fast
// as a small one. The tables come zeroed from calloc, which for large ones
// hands out pages the system fills on first touch, so their cost is spread
// over the insertions too.
//
// ~0 is no entry. Insert never throws (MakeRoom first), Erase neither.
template <class KeyOf>
class SpreadTable {
public:
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};
    static constexpr std::size_t kMovesPerInsert = 32;

    explicit SpreadTable(std::size_t size = 64) { Reset(size); }

    // Empty, with room for size / 2 entries (a power of two, at least 2).
    void Reset(std::size_t size)
    {
        Slots fresh = Allocate(size);
        table_ = std::move(fresh);
        size_ = size;
        old_.reset();
        oldSize_ = 0;
        moved_ = 0;
        count_ = 0;
    }

    std::size_t count() const { return count_; }
    std::size_t tableSize() const { return size_; }
    bool moving() const { return old_ != nullptr; }

    // The entry with that key, kNone when there is none.
    std::uint64_t Find(std::uint64_t key) const
    {
        const std::uint64_t found = FindIn(table_.get(), size_, key);
        return found != kNone || !old_ ? found : FindIn(old_.get(), oldSize_, key);
    }
    bool Contains(std::uint64_t key) const { return Find(key) != kNone; }

    // Room for one more entry; may throw std::bad_alloc, and then nothing
    // changed.
    void MakeRoom()
    {
        if ((count_ + 1) * 2 <= size_)
            return;
        Slots grown = Allocate(size_ * 2);
        FinishMoving();
        old_ = std::exchange(table_, std::move(grown));
        oldSize_ = std::exchange(size_, size_ * 2);
        moved_ = 0;
    }

    // After MakeRoom, of an entry whose key is not in the table.
    void Insert(std::uint64_t entry) noexcept
    {
        Place(table_.get(), size_, entry);
        ++count_;
        if (old_)
            Move(kMovesPerInsert);
    }

    // Takes out the entry with that key; false when there is none.
    bool Erase(std::uint64_t key) noexcept
    {
        FinishMoving();
        const std::size_t mask = size_ - 1;
        std::uint64_t* t = table_.get();
        for (std::size_t slot = Home(key, size_); t[slot] != 0; slot = (slot + 1) & mask) {
            if (KeyOf{}(t[slot] - 1) != key)
                continue;
            EraseFromRun(
                t, mask, slot, [this](std::uint64_t stored) { return Home(KeyOf{}(stored - 1), size_); },
                [](std::uint64_t stored) { return stored == 0; }, std::uint64_t{0});
            --count_;
            return true;
        }
        return false;
    }

    void Prefetch(std::uint64_t key) const { __builtin_prefetch(&table_[Home(key, size_)]); }

    // Moves what is left of the old table now.
    void FinishMoving() noexcept
    {
        if (old_)
            Move(oldSize_);
    }

private:
    struct Free {
        void operator()(std::uint64_t* p) const { std::free(p); }
    };
    using Slots = std::unique_ptr<std::uint64_t[], Free>;

    // Slots hold entry + 1: zero is empty, so that fresh pages need no fill.
    static Slots Allocate(std::size_t size)
    {
        auto* p = static_cast<std::uint64_t*>(std::calloc(size, sizeof(std::uint64_t)));
        if (!p)
            throw std::bad_alloc();
        return Slots(p);
    }

    static std::size_t Home(std::uint64_t key, std::size_t size)
    {
        const std::uint64_t h = key * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(h ^ (h >> 32)) & (size - 1);
    }

    static std::uint64_t FindIn(const std::uint64_t* t, std::size_t size, std::uint64_t key)
    {
        for (std::size_t slot = Home(key, size); t[slot] != 0; slot = (slot + 1) & (size - 1))
            if (KeyOf{}(t[slot] - 1) == key)
                return t[slot] - 1;
        return kNone;
    }

    static void Place(std::uint64_t* t, std::size_t size, std::uint64_t entry) noexcept
    {
        std::size_t slot = Home(KeyOf{}(entry), size);
        while (t[slot] != 0)
            slot = (slot + 1) & (size - 1);
        t[slot] = entry + 1;
    }

    // The old table is only read while its entries move: a key not yet
    // moved is found there along its run as it was. No key is in both, as
    // Insert takes only new keys.
    void Move(std::size_t count) noexcept
    {
        const std::size_t end = std::min(oldSize_, moved_ + count);
        for (; moved_ < end; ++moved_)
            if (const std::uint64_t stored = old_[moved_]; stored != 0)
                Place(table_.get(), size_, stored - 1);
        if (moved_ == oldSize_) {
            old_.reset();
            oldSize_ = 0;
            moved_ = 0;
        }
    }

    Slots table_;
    std::size_t size_ = 0;
    Slots old_;  // being moved into table_; slots before moved_ are there
    std::size_t oldSize_ = 0;
    std::size_t moved_ = 0;
    std::size_t count_ = 0;
};

}  // namespace quillet
