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
// into its byte stream, round trip and number. For TCP the packets before
// the one asked about are read twice: first for their flags only, to find
// where its conversation starts.
class StreamBuilder {
public:
    StreamBuilder(ConversationPackets packets, std::int64_t seq);

    // The sequence number of the packet to read next, 0 once done.
    std::int64_t Next() const;
    // The whole datagram of Next() and its timestamp.
    void Give(std::span<const std::uint8_t> datagram, std::int64_t tsUs);
    // Next() cannot be read: it is left out.
    void Skip() { Advance(); }

    const ConversationPackets& Packets() const { return packets_; }
    StreamReassembly& Stream() { return stream_; }
    const StreamReassembly& Stream() const { return stream_; }
    const RoundTrip& Trip() const { return trip_; }
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
    int SideOf(std::size_t i) const { return packets_.forward[i] == openerForward_ ? 0 : 1; }

    ConversationPackets packets_;
    std::size_t row_ = 0;    // the asked packet's index in packets_.seqs
    std::size_t at_ = 0;     // the next to read
    std::size_t start_ = 0;  // where its conversation starts
    bool finding_ = false;   // reading flags only, before the start is known
    bool closed_ = false;    // a FIN or RST went by
    bool openerKnown_ = false;
    bool openerForward_ = true;
    bool done_ = false;
    bool dns_ = false;
    std::int64_t restarts_ = 0;  // conversations of these endpoints before
    StreamReassembly stream_;
    RoundTrip trip_;
};

}  // namespace quillet
