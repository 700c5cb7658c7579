#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "inspect/StreamReassembly.h"
#include "views/PacketStore.h"

namespace quillet {

// The stored packets that may form the conversation of one packet: those of
// its protocol between the same two endpoints (address and port), either
// way, in capture order. The TCP ones may hold several conversations, one
// after another (a SYN after a FIN or RST starts the next); StreamBuilder
// finds the packet's own among them.
struct ConversationPackets {
    bool tcp = false;
    std::string protocol;            // "TCP", "UDP", ...
    std::string srcAddr, destAddr;   // of the packet asked about
    int srcPort = -1, destPort = -1;  // -1: none
    std::vector<std::int64_t> seqs;
    std::vector<bool> forward;       // seqs[i] goes from srcAddr to destAddr
    // The first packet of every other conversation of the protocol before
    // the packet asked about (numbering), when the number is not known.
    std::vector<std::int64_t> othersFirst;
    // The conversation's number as the conversation index gives it, -1 when
    // the scan works it out.
    std::int64_t number = -1;
};

// Where a conversation lies among the stored packets, as the conversation
// index knows it: its first and last packets and its number. Without it the
// scan reads every record and works the number out.
struct ConversationSpan {
    std::int64_t first = 1;
    std::int64_t last = INT64_MAX;
    std::int64_t number = -1;
};

// Which stored packets form the conversation of packet seq: a scan of the
// records (no payload read). Stops early, half done, once cancel is set.
ConversationPackets FindConversation(const PacketStore::Records& records, std::int64_t seq,
                                     const std::atomic<bool>* cancel = nullptr, ConversationSpan span = {});

// Reads a conversation's packets one by one (Next(), then Give() or Skip())
// into its byte stream and number, then those stored after them
// (GiveMore()). For TCP the packets before the one asked about are read
// twice: first for their flags only, to find where its conversation starts.
// The round trip is the conversation index's (Conversations).
class StreamBuilder {
public:
    StreamBuilder(ConversationPackets packets, std::int64_t seq);

    // The sequence number of the packet to read next, 0 once done.
    std::int64_t Next() const;
    // The whole datagram of Next().
    void Give(std::span<const std::uint8_t> datagram);
    // Next() cannot be read: it is left out.
    void Skip() { Advance(); }
    // Once Next() is 0: a packet of the conversation stored after those it
    // was made with (forward: from the asked packet's source to its
    // destination). Holes are not given up on at its end (Stream().Finish()
    // does). False, and nothing fed, when the conversation has ended (the
    // endpoints' next one began) or was never found.
    bool GiveMore(bool forward, std::span<const std::uint8_t> datagram);
    // Whether GiveMore takes no more.
    bool Ended() const { return ended_ || row_ >= packets_.seqs.size(); }

    const ConversationPackets& Packets() const { return packets_; }
    StreamReassembly& Stream() { return stream_; }
    const StreamReassembly& Stream() const { return stream_; }
    // Whether the side that opened the conversation is the asked packet's source.
    bool OpenerIsSource() const { return openerForward_; }
    // The conversation's number among its protocol's (from 0), once its
    // start is known, else -1.
    std::int64_t Number() const;
    // Packets of the conversation read, of those that may belong to it.
    std::size_t ReadCount() const { return finding_ ? 0 : at_ - start_; }
    std::size_t Candidates() const { return packets_.seqs.size() - start_; }

private:
    void Advance();
    // Feeds one packet of the conversation; false when it begins the
    // endpoints' next conversation.
    bool Feed(bool forward, std::span<const std::uint8_t> datagram);

    ConversationPackets packets_;
    std::size_t row_ = 0;    // the asked packet's index in packets_.seqs
    std::size_t at_ = 0;     // the next to read
    std::size_t start_ = 0;  // where its conversation starts
    bool finding_ = false;   // reading flags only, before the start is known
    bool closed_ = false;    // a FIN or RST went by
    bool openerKnown_ = false;
    bool openerForward_ = true;
    bool done_ = false;
    bool ended_ = false;  // the endpoints' next conversation began
    bool fed_ = false;    // a packet of the conversation was fed
    std::int64_t restarts_ = 0;  // conversations of these endpoints before
    StreamReassembly stream_;
};

}  // namespace quillet
