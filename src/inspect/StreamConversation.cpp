#include "inspect/StreamConversation.h"

#include <algorithm>
#include <charconv>
#include <unordered_set>

namespace quillet {

namespace {

struct Endpoint {
    std::uint64_t address = 0, port = 0;
    bool operator==(const Endpoint&) const = default;
    bool operator<(const Endpoint& o) const { return address != o.address ? address < o.address : port < o.port; }
};
struct PairKey {
    Endpoint a, b;
    bool operator==(const PairKey&) const = default;
};
struct PairHash {
    std::size_t operator()(const PairKey& k) const
    {
        std::uint64_t h = k.a.address * 0x9E3779B97F4A7C15ull ^ k.a.port;
        h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull ^ k.b.address;
        h = (h ^ (h >> 31)) * 0x94D049BB133111EBull ^ k.b.port;
        return static_cast<std::size_t>(h ^ (h >> 32));
    }
};

int PortNumber(const PortText5& port)
{
    const auto text = port.text();
    int v = -1;
    const std::string_view s = text.view();
    if (s.empty() || std::from_chars(s.data(), s.data() + s.size(), v).ec != std::errc())
        return -1;
    return v;
}

}  // namespace

ConversationPackets FindConversation(const PacketStore::Records& records, std::int64_t seq,
                                     const std::atomic<bool>* cancel, ConversationSpan span)
{
    ConversationPackets found;
    if (seq < 1 || seq > records.count())
        return found;
    const clV& row = records.at(seq);
    found.protocol = row.mProtocol.str();
    found.tcp = found.protocol == "TCP";
    found.srcAddr = row.mSrcAddr.str();
    found.destAddr = row.mDestAddr.str();
    found.srcPort = PortNumber(row.mSrcPort);
    found.destPort = PortNumber(row.mDestPort);
    const std::uint64_t protocol = row.mProtocol.bits();
    const Endpoint src{row.mSrcAddr.bits(), row.mSrcPort.bits()};
    const Endpoint dest{row.mDestAddr.bits(), row.mDestPort.bits()};
    std::unordered_set<PairKey, PairHash> others;
    // Within the span, the packets between these endpoints are all its own.
    const bool known = span.number >= 0 && span.first <= seq && seq <= span.last;
    found.number = known ? span.number : -1;
    const std::int64_t from = known ? span.first : 1;
    const std::int64_t to = known ? std::min(span.last, records.count()) : records.count();
    for (std::int64_t s = from; s <= to; ++s) {
        if ((s & 0xffff) == 0 && cancel && cancel->load(std::memory_order_relaxed))
            break;
        const clV& r = records.at(s);
        if (r.mProtocol.bits() != protocol)
            continue;
        const Endpoint a{r.mSrcAddr.bits(), r.mSrcPort.bits()};
        const Endpoint b{r.mDestAddr.bits(), r.mDestPort.bits()};
        if ((a == src && b == dest) || (a == dest && b == src)) {
            found.seqs.push_back(s);
            found.forward.push_back(a == src);
        } else if (!known && s < seq && others.insert(b < a ? PairKey{b, a} : PairKey{a, b}).second) {
            found.othersFirst.push_back(s);
        }
    }
    return found;
}

StreamBuilder::StreamBuilder(ConversationPackets packets, std::int64_t seq)
    : packets_(std::move(packets)), stream_(packets_.tcp)
{
    const auto it = std::find(packets_.seqs.begin(), packets_.seqs.end(), seq);
    row_ = static_cast<std::size_t>(it - packets_.seqs.begin());
    done_ = it == packets_.seqs.end();
    finding_ = packets_.tcp && row_ > 0;
}

std::int64_t StreamBuilder::Next() const { return done_ || at_ >= packets_.seqs.size() ? 0 : packets_.seqs[at_]; }

std::int64_t StreamBuilder::Number() const
{
    if (finding_ || packets_.seqs.empty() || row_ >= packets_.seqs.size())
        return -1;
    if (packets_.number >= 0)
        return packets_.number;
    const std::int64_t first = packets_.seqs[start_];
    const auto& others = packets_.othersFirst;
    return static_cast<std::int64_t>(std::lower_bound(others.begin(), others.end(), first) - others.begin()) + restarts_;
}

void StreamBuilder::Give(std::span<const std::uint8_t> datagram)
{
    if (Next() == 0)
        return;
    TcpSegment segment;
    const bool isTcp = packets_.tcp && ParseTcpSegment(datagram, segment);
    if (finding_) {
        // Where the asked packet's conversation starts: after the last SYN that followed a FIN or RST.
        if (isTcp && segment.syn && !segment.ack && closed_ && at_ > 0) {
            start_ = at_;
            ++restarts_;
            closed_ = false;
        }
        closed_ = closed_ || (isTcp && (segment.fin || segment.rst));
        if (at_ == row_) {
            finding_ = false;
            closed_ = false;
            at_ = start_;
            return;
        }
        Advance();
        return;
    }
    if (!Feed(packets_.forward[at_], datagram)) {
        done_ = ended_ = true;
        stream_.Finish();
        return;
    }
    Advance();
}

bool StreamBuilder::GiveMore(bool forward, std::span<const std::uint8_t> datagram)
{
    if (Next() != 0 || finding_ || ended_ || row_ >= packets_.seqs.size())
        return false;
    if (Feed(forward, datagram))
        return true;
    ended_ = true;
    stream_.Finish();
    return false;
}

bool StreamBuilder::Feed(bool forward, std::span<const std::uint8_t> datagram)
{
    TcpSegment segment;
    std::string_view payload;
    const bool isTcp = packets_.tcp && ParseTcpSegment(datagram, segment);
    if (isTcp) {
        if (segment.syn && !segment.ack && closed_ && fed_)
            return false;  // the next conversation of these endpoints
        closed_ = closed_ || segment.fin || segment.rst;
    }
    if (!openerKnown_) {
        openerKnown_ = true;
        // A SYN/ACK seen first answers the side that opened.
        openerForward_ = forward != (isTcp && segment.syn && segment.ack);
    }
    const int side = forward == openerForward_ ? 0 : 1;
    if (isTcp)
        stream_.FeedTcp(side, segment);
    else if (!packets_.tcp && ParseUdpPayload(datagram, payload))
        stream_.FeedUdp(side, payload);
    fed_ = true;
    return true;
}

void StreamBuilder::Advance()
{
    if (done_)
        return;
    ++at_;
    if (finding_ && at_ > row_) {  // the asked packet could not be read
        finding_ = false;
        at_ = start_;
    }
    if (!finding_ && at_ >= packets_.seqs.size()) {
        done_ = true;
        stream_.Finish();
    }
}

}  // namespace quillet
