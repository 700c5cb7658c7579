#pragma once

#include <cstddef>
#include <cstdint>

#include "core/LinearProbing.h"
#include "core/MovingSlots.h"

namespace quillet {

// An open-addressing set of 64-bit entries, each found by a key that KeyOf
// takes from it (the entry itself, or some of its bits), that grows without
// a pause (MovingSlots): when one more entry would fill it past half, a
// table twice the size takes its place and the old one's entries move over
// kMovesPerInsert with each insertion after it. A table of millions of
// entries grows in a stream of packets as fast as a small one.
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
        slots_.Reset(size);
        count_ = 0;
    }

    std::size_t count() const { return count_; }
    std::size_t tableSize() const { return slots_.size(); }
    bool Large() const { return slots_.Large(); }
    bool moving() const { return slots_.moving(); }

    // The entry with that key, kNone when there is none.
    std::uint64_t Find(std::uint64_t key) const
    {
        const std::uint64_t found = FindIn(slots_.table(), slots_.size(), key);
        return found != kNone || !slots_.moving() ? found : FindIn(slots_.old(), slots_.oldSize(), key);
    }
    bool Contains(std::uint64_t key) const { return Find(key) != kNone; }

    // Room for one more entry; may throw std::bad_alloc, and then nothing
    // changed.
    void MakeRoom()
    {
        if ((count_ + 1) * 2 > slots_.size())
            slots_.Grow(slots_.size() * 2);
    }

    // After MakeRoom, of an entry whose key is not in the table (so no key
    // is in both tables).
    void Insert(std::uint64_t entry) noexcept
    {
        slots_.FreeFor(Hash(KeyOf{}(entry))) = entry + 1;
        ++count_;
        slots_.Move(kMovesPerInsert);
    }

    // Takes out the entry with that key; false when there is none.
    bool Erase(std::uint64_t key) noexcept
    {
        slots_.FinishMoving();
        const std::size_t mask = slots_.size() - 1;
        std::uint64_t* t = slots_.table();
        for (std::size_t slot = Hash(key) & mask; t[slot] != 0; slot = (slot + 1) & mask) {
            if (KeyOf{}(t[slot] - 1) != key)
                continue;
            EraseFromRun(
                t, mask, slot, [mask](std::uint64_t stored) { return Traits::Home(stored) & mask; },
                [](std::uint64_t stored) { return stored == 0; }, std::uint64_t{0});
            --count_;
            return true;
        }
        return false;
    }

    void Prefetch(std::uint64_t key) const { __builtin_prefetch(&slots_.table()[Hash(key) & (slots_.size() - 1)]); }

    // Moves what is left of the old table now.
    void FinishMoving() noexcept { slots_.FinishMoving(); }

private:
    static std::size_t Hash(std::uint64_t key)
    {
        const std::uint64_t h = key * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(h ^ (h >> 32));
    }
    // Slots hold entry + 1: zero is empty, as the tables come.
    struct Traits {
        static std::size_t Home(std::uint64_t stored) { return Hash(KeyOf{}(stored - 1)); }
        static bool Free(std::uint64_t stored) { return stored == 0; }
    };

    static std::uint64_t FindIn(const std::uint64_t* t, std::size_t size, std::uint64_t key)
    {
        for (std::size_t slot = Hash(key) & (size - 1); t[slot] != 0; slot = (slot + 1) & (size - 1))
            if (KeyOf{}(t[slot] - 1) == key)
                return t[slot] - 1;
        return kNone;
    }

    MovingSlots<std::uint64_t, Traits> slots_;
    std::size_t count_ = 0;
};

}  // namespace quillet
