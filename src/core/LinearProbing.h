#pragma once

#include <cstddef>

namespace quillet {

// Takes the entry at slot out of an open-addressing table with linear
// probing, without a tombstone and without allocating: each later entry of
// the run moves back into the hole unless its home lies after the hole, up
// to where the entry is (cyclically). table[i] is slot i of mask + 1 slots;
// home(entry) is an entry's first slot, free(entry) whether a slot is free,
// and empty the value a free slot holds.
template <class Table, class Home, class Free, class Value>
void EraseFromRun(Table&& table, std::size_t mask, std::size_t slot, Home home, Free free, const Value& empty) noexcept
{
    for (std::size_t next = (slot + 1) & mask; !free(table[next]); next = (next + 1) & mask) {
        const std::size_t h = home(table[next]);
        const bool stays = slot <= next ? (slot < h && h <= next) : (slot < h || h <= next);
        if (stays)
            continue;
        table[slot] = table[next];
        slot = next;
    }
    table[slot] = empty;
}

}  // namespace quillet
