#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace quillet {

// Tables up to this size stay in the cache as the receive path uses them:
// fetching their slots ahead would be all cost.
inline constexpr std::size_t kCachedTableBytes = 256 * 1024;

// The slots of an open-addressing table with linear probing that grows
// without a pause: when it grows, a table of the new size takes its place
// and the old one's slots move over a few at a time (Move, called by the
// owner with each insertion or packet), so that no call moves millions of
// them. Until they have all moved, a key not found in table() is looked for
// in old(), along its run as it was; a slot of old() not moved yet may be
// changed in place, and moves as it is then. Moving reads the slots alone:
// Traits::Home(slot) gives a slot's hash (its home is the hash masked to
// the size), Traits::Free(slot) whether it is free. A zeroed slot is free:
// the tables come from calloc, whose large blocks are pages the system
// fills as they are first touched, so their cost is spread too.
template <class Slot, class Traits>
class MovingSlots {
    static_assert(std::is_trivially_copyable_v<Slot>);

public:
    MovingSlots() = default;

    // Empty, with size slots (a power of two, or none); may throw.
    void Reset(std::size_t size)
    {
        table_ = Allocate(size);
        size_ = size;
        old_.reset();
        oldSize_ = 0;
        moved_ = 0;
    }

    Slot* table() const { return table_.get(); }
    std::size_t size() const { return size_; }
    // The table being moved into table(), nullptr when none; its slots
    // before moved() are in table() already.
    Slot* old() const { return old_.get(); }
    std::size_t oldSize() const { return oldSize_; }
    bool moving() const { return old_ != nullptr; }
    // Whether the table is too large to stay in the cache (kCachedTableBytes).
    bool Large() const { return size_ * sizeof(Slot) > kCachedTableBytes; }

    // A table of size slots takes the current one's place; the slots of a
    // growth before are moved first. May throw std::bad_alloc, and then
    // nothing changed.
    void Grow(std::size_t size)
    {
        Owned grown = Allocate(size);
        FinishMoving();
        old_ = std::exchange(table_, std::move(grown));
        oldSize_ = std::exchange(size_, size);
        moved_ = 0;
    }

    // Moves the next count slots of old() (fewer when fewer are left). The
    // places in table() of the count slots after them are fetched, for the
    // next call: each move writes a line of table() that is seldom in the
    // cache, and the wait for it then overlaps the caller's work.
    void Move(std::size_t count) noexcept
    {
        const std::size_t end = std::min(oldSize_, moved_ + count);
        const std::size_t ahead = std::min(oldSize_, end + count);
        for (std::size_t i = end; i < ahead; ++i)
            if (const Slot& s = old_[i]; !Traits::Free(s))
                __builtin_prefetch(&table_[Traits::Home(s) & (size_ - 1)], 1);
        for (; moved_ < end; ++moved_)
            if (const Slot& s = old_[moved_]; !Traits::Free(s))
                FreeFor(Traits::Home(s)) = s;
        if (old_ && moved_ == oldSize_) {
            old_.reset();
            oldSize_ = 0;
            moved_ = 0;
        }
    }
    void FinishMoving() noexcept { Move(oldSize_); }

    // The first free slot of table() on the run of that hash: where a slot
    // of it goes.
    Slot& FreeFor(std::size_t hash) noexcept
    {
        std::size_t at = hash & (size_ - 1);
        while (!Traits::Free(table_[at]))
            at = (at + 1) & (size_ - 1);
        return table_[at];
    }

private:
    struct Free {
        void operator()(Slot* p) const { std::free(p); }
    };
    using Owned = std::unique_ptr<Slot[], Free>;

    static Owned Allocate(std::size_t size)
    {
        if (size == 0)
            return nullptr;
        auto* p = static_cast<Slot*>(std::calloc(size, sizeof(Slot)));
        if (p == nullptr)
            throw std::bad_alloc();
        return Owned(p);
    }

    Owned table_;
    std::size_t size_ = 0;
    Owned old_;
    std::size_t oldSize_ = 0;
    std::size_t moved_ = 0;
};

}  // namespace quillet
