#include "inspect/StreamFollower.h"

#include <algorithm>

namespace quillet {

StreamFollower::StreamFollower(std::uint32_t conversation, const clV& asked, std::int64_t after)
    : conversation_(conversation), srcAddr_(asked.mSrcAddr.bits()), srcPort_(asked.mSrcPort.bits()), seen_(after)
{
}

bool StreamFollower::Turn(const Conversations& index, const PacketStore& store,
                          std::vector<StreamLoader::Later>& out)
{
    if (conversation_ == Conversations::kNone || conversation_ >= index.size())
        return false;
    const std::int64_t last = std::min(index.LastPacketOf(conversation_), store.lSeq());
    if (last <= seen_)
        return false;
    const std::int64_t to = std::min(last, seen_ + kLookPerTurn);
    for (std::int64_t s = seen_ + 1; s <= to; ++s) {
        if (index.Of(s) != conversation_)
            continue;
        const clV& r = store.at(s);
        out.push_back({s, r.mSrcAddr.bits() == srcAddr_ && r.mSrcPort.bits() == srcPort_});
    }
    seen_ = to;
    return to < last;
}

}  // namespace quillet
