#pragma once

#include <cstdint>
#include <vector>

#include "inspect/StreamLoader.h"
#include "views/Conversations.h"
#include "views/PacketStore.h"

namespace quillet {

// Finds the packets of one conversation of the index that are stored after
// a given one, as they come. A turn looks only when the index says the
// conversation has a packet past those seen (a quiet conversation costs one
// comparison), and then only at the packets stored since the last turn, at
// most kLookPerTurn of them. Window-free; on the storing thread.
class StreamFollower {
public:
    static constexpr std::int64_t kLookPerTurn = 1 << 16;

    // conversation: an index for Conversations::At (kNone: nothing to
    // follow); asked: the record whose source makes a packet "forward";
    // after: the last packet read already.
    StreamFollower(std::uint32_t conversation, const clV& asked, std::int64_t after);

    // Appends the conversation's packets stored since the last turn to out,
    // in order; true when it stopped short (call again).
    bool Turn(const Conversations& index, const PacketStore& store, std::vector<StreamLoader::Later>& out);
    std::int64_t Seen() const { return seen_; }

private:
    std::uint32_t conversation_;
    std::uint64_t srcAddr_, srcPort_;
    std::int64_t seen_;
};

}  // namespace quillet
