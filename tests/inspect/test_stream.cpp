// A conversation's bytes put back in order: TCP by sequence numbers per
// direction, both sides in capture order, the stored packets that form one
// conversation, its number, its round trip (the conversation index's) and
// the packets of it stored later.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "decode/DecodeDatagram.h"
#include "inspect/StreamFollower.h"
#include "inspect/StreamLoader.h"
#include "inspect/StreamText.h"
#include "shell/Datagrams.h"
#include "views/PacketViews.h"

using namespace quillet;
using namespace quillet::test;

namespace {

// Pieces as one text: side 0 as it is, side 1 in <>, holes as [N].
std::string Shown(const std::vector<StreamPiece>& pieces)
{
    std::string s;
    for (const StreamPiece& p : pieces)
        s += p.missing ? "[" + std::to_string(p.missing) + "]" : p.side ? "<" + p.bytes + ">" : p.bytes;
    return s;
}

struct Segment {
    std::uint32_t seq;
    std::uint8_t flags;
    const char* payload;
};

struct DirectionCase {
    const char* name;
    std::vector<Segment> segments;
    const char* shown;  // after Finish
};

TEST(StreamReassembly, OneDirectionBySequenceNumbers)
{
    const std::vector<DirectionCase> cases = {
        {"out of order", {{100, kSyn, ""}, {107, kAck, "world"}, {101, kAck, "hello "}}, "hello world"},
        {"retransmission", {{100, kSyn, ""}, {101, kAck, "abc"}, {101, kAck, "abc"}, {104, kAck, "def"}}, "abcdef"},
        {"overlap", {{0, kSyn, ""}, {1, kAck, "abcd"}, {3, kAck, "cdefg"}, {2, kAck, "bc"}}, "abcdefg"},
        {"gap shown once later data shows it", {{0, kSyn, ""}, {1, kAck, "ab"}, {8, kAck, "xy"}}, "ab[5]xy"},
        {"sequence numbers wrap", {{0xFFFFFFFD, kSyn, ""}, {0xFFFFFFFE, kAck, "abcd"}, {2, kAck, "ef"}}, "abcdef"},
        {"FIN counts one", {{10, kSyn, ""}, {11, kAck | kFin, "bye"}, {15, kAck, "late"}}, "byelate"},
        {"mid-stream start", {{5000, kAck, "mid"}, {5003, kAck, "dle"}}, "middle"},
    };
    for (const DirectionCase& c : cases) {
        StreamReassembly stream(true);
        for (const Segment& s : c.segments)
            stream.FeedTcp(0, TcpSegment{s.seq, bool(s.flags & kSyn), bool(s.flags & kAck), bool(s.flags & kFin),
                                         false, s.payload});
        stream.Finish();
        EXPECT_EQ(Shown(stream.Take()), c.shown) << c.name;
    }
}

TEST(StreamReassembly, KeepsAtMostWhatItMayButCountsAll)
{
    StreamReassembly stream(false, 5);
    stream.FeedUdp(0, "abc");
    stream.FeedUdp(1, "defg");
    EXPECT_EQ(Shown(stream.Take()), "abc<de>");
    EXPECT_TRUE(stream.Capped());
    EXPECT_EQ(stream.Bytes(1), 4u);
}

TEST(StreamText, ShowsTextHexAndRaw)
{
    EXPECT_EQ(ShownStreamBytes("GET /\r\nA\tb\x01\n\r", StreamShow::Text), QString("GET /\nA.b.\n."));
    EXPECT_EQ(ShownStreamBytes("x\r", StreamShow::Text, true), QString("x"));
    EXPECT_EQ(ShownStreamBytes("GET", StreamShow::Hex), QString("  47 45 54") + QString(39, ' ') + " | GET\n");
    EXPECT_EQ(ShownStreamBytes("a\x1b\r\n\xe2\x80\xae", StreamShow::Raw), QString("a\\x1b\n\\u202e"));
}

// Packets stored through the receive path, read back by a StreamLoader.
class StoredConversation : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() / ("quillet-stream-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(views.OpenSpool(dir.string()));
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::int64_t Store(const std::vector<std::uint8_t>& d, std::int64_t tsUs)
    {
        auto decoded = DecodeDatagram(d, false);
        return views.StorePacket(*decoded, d, tsUs);
    }
    // The conversation of seq: its pieces, and the builder's findings through look.
    std::string Load(std::int64_t seq, const std::function<void(const StreamBuilder&)>& look = {})
    {
        CaptureSpool* spool = views.Spool();
        StreamLoader loader(views.dPackets().Snapshot(), seq, spool->ReadDescriptor(), spool->BytesInFile());
        std::vector<StreamPiece> pieces;
        while (!loader.Done()) {
            loader.Continue([this](std::int64_t s, std::vector<std::uint8_t>& b,
                                   std::int64_t& ts) { return views.DatagramOf(s, b, ts); },
                            std::chrono::milliseconds(5));
            for (StreamPiece& p : loader.Take())
                pieces.push_back(std::move(p));
        }
        for (StreamPiece& p : loader.Take())
            pieces.push_back(std::move(p));
        if (look)
            loader.Look([&](const StreamBuilder* b) { look(*b); });
        return Shown(pieces);
    }
    // The conversation index's record of seq's conversation.
    Conversations::Conversation TripOf(std::int64_t seq)
    {
        const Conversations& index = views.Conversations();
        return index.At(index.Of(seq));
    }
    std::filesystem::path dir;
    PacketViews views;
};

TEST_F(StoredConversation, BothSidesInCaptureOrderWithHandshakeAndNumber)
{
    const char *c = "10.0.0.1", *s = "10.0.0.2";
    Store(Ipv4Udp("10.0.0.9", "10.0.0.8", 1, 2, "other udp"), 1'000);
    Store(TcpDatagram("10.0.0.7", s, 5555, 80, 1, kSyn, ""), 1'000);  // another conversation: number 0
    Store(TcpDatagram(c, s, 40000, 80, 1000, kSyn, ""), 10'000);
    Store(TcpDatagram(s, c, 80, 40000, 7000, kSyn | kAck, ""), 12'500);
    Store(TcpDatagram(c, s, 40000, 80, 1001, kAck, ""), 13'000);
    Store(TcpDatagram(c, s, 40000, 80, 1001, kAck, "GET /"), 14'000);
    const std::int64_t answer = Store(TcpDatagram(s, c, 80, 40000, 7001, kAck, "200 OK"), 15'000);
    Store(TcpDatagram(c, s, 40000, 80, 1006, kAck | kFin, "\r\n"), 16'000);
    Store(TcpDatagram(c, s, 40000, 80, 1, kSyn, ""), 20'000);  // the endpoints' next conversation
    Store(TcpDatagram(c, s, 40000, 80, 2, kAck, "again"), 21'000);
    EXPECT_EQ(Load(answer, [](const StreamBuilder& b) {
                  EXPECT_EQ(b.Number(), 1);
                  EXPECT_TRUE(b.OpenerIsSource() == false);  // asked on the server's packet
                  EXPECT_EQ(b.Stream().Bytes(0), 7u);
              }),
              "GET /<200 OK>\r\n");
    // The handshake's round trip, SYN to SYN/ACK and SYN/ACK to the ACK of the SYN/ACK.
    const Conversations::Conversation trip = TripOf(answer);
    EXPECT_EQ(trip.synToSynAckUs, 2'500);
    EXPECT_EQ(trip.synAckToAckUs, 500);
    EXPECT_EQ(Load(answer + 3, [](const StreamBuilder& b) { EXPECT_EQ(b.Number(), 2); }), "again");
    EXPECT_EQ(TripOf(answer + 3).RoundTripUs(), -1);  // no SYN/ACK seen
}

TEST_F(StoredConversation, IPv6AndDnsAnswerTime)
{
    const char *a = "2001:db8::1", *b = "2001:db8::2";
    const std::int64_t first = Store(TcpDatagram(a, b, 1234, 443, 50, kAck, "v6 "), 1'000);
    Store(TcpDatagram(b, a, 443, 1234, 9, kAck, "back"), 2'000);
    Store(TcpDatagram(a, b, 1234, 443, 53, kAck, "data"), 3'000);
    EXPECT_EQ(Load(first), "v6 <back>data");
    EXPECT_EQ(TripOf(first).RoundTripUs(), -1);  // no handshake seen

    static const char kQuestion[] = "\x00\x01\x00\x00\x00\x00\x00\x00\x03www\x00\x00\x01\x00\x01";
    const std::string question(kQuestion, sizeof kQuestion - 1);
    const std::string query = std::string("\x12\x34\x01\x00", 4) + question;
    const std::string reply = std::string("\x12\x34\x81\x80", 4) + question;
    // An answer of another id, then one of another question, then the answer.
    std::string otherId = reply, otherQuestion = reply;
    otherId[1] = '\x35';
    otherQuestion[14] = 'x';
    const std::int64_t asked = Store(Ipv4Udp("10.0.0.1", "10.0.0.53", 3333, 53, query), 100'000);
    Store(Ipv4Udp("10.0.0.53", "10.0.0.1", 53, 3333, otherId), 101'000);
    Store(Ipv4Udp("10.0.0.53", "10.0.0.1", 53, 3333, otherQuestion), 102'000);
    EXPECT_EQ(TripOf(asked).RoundTripUs(), -1);
    Store(Ipv4Udp("10.0.0.53", "10.0.0.1", 53, 3333, reply), 104'200);
    EXPECT_EQ(TripOf(asked).dnsAnswerUs, 4'200);
    EXPECT_EQ(TripOf(asked).RoundTripUs(), 4'200);
}

// The packets of a conversation stored after it was found, as a follower
// finds them turn by turn: in order, those of other conversations left out
// (the endpoints' next one too), out-of-order data put in place within a
// turn, a hole waited for one turn and given up on at the turn after.
TEST_F(StoredConversation, FollowsThePacketsStoredLater)
{
    const char *c = "10.0.0.1", *s = "10.0.0.2";
    const std::int64_t asked = Store(TcpDatagram(c, s, 40000, 80, 100, kSyn, ""), 1'000);
    Store(TcpDatagram(s, c, 80, 40000, 900, kSyn | kAck, ""), 2'000);
    const Conversations& index = views.Conversations();
    const std::uint32_t conversation = index.Of(asked);
    const std::int64_t last = index.LastPacketOf(conversation);
    CaptureSpool* spool = views.Spool();
    StreamLoader loader(views.dPackets().Snapshot(), asked, spool->ReadDescriptor(), spool->BytesInFile(),
                        {index.FirstPacketOf(conversation), last, 0});
    StreamFollower follower(conversation, views.dPackets().at(asked), last);
    const StreamLoader::Reader read = [this](std::int64_t seq, std::vector<std::uint8_t>& b, std::int64_t& ts) {
        return views.DatagramOf(seq, b, ts);
    };
    while (!loader.Done())
        loader.Continue(read, std::chrono::milliseconds(5));
    EXPECT_EQ(Shown(loader.Take()), "");

    const struct {
        std::vector<std::vector<std::uint8_t>> stored;
        const char* shown;  // what the turn adds
    } turns[] = {
        {{TcpDatagram(c, s, 40000, 80, 101, kAck, "GET "), TcpDatagram(c, s, 40001, 80, 101, kAck, "nope"),
          Ipv4Udp(c, s, 40000, 80, "nope")},
         "GET "},
        {{TcpDatagram(s, c, 80, 40000, 907, kAck, "world"), TcpDatagram(s, c, 80, 40000, 901, kAck, "hello ")},
         "<hello world>"},
        {{TcpDatagram(c, s, 40000, 80, 110, kAck, "late")}, ""},
        {{TcpDatagram(c, s, 40000, 80, 105, kAck, "12345")}, "12345late"},
        {{TcpDatagram(c, s, 40000, 80, 120, kAck, "after")}, ""},
        {{}, "[6]after"},
        {{TcpDatagram(c, s, 40000, 80, 125, kAck | kFin, ""), TcpDatagram(c, s, 40000, 80, 5000, kSyn, ""),
          TcpDatagram(c, s, 40000, 80, 5001, kAck, "next")},
         ""},
    };
    int turn = 0;
    for (const auto& t : turns) {
        for (const auto& d : t.stored)
            Store(d, 3'000);
        std::vector<StreamLoader::Later> later;
        while (follower.Turn(index, views.dPackets(), later)) {
        }
        std::size_t taken = 0;
        do
            taken += loader.Follow(std::span<const StreamLoader::Later>(later).subspan(taken), read,
                                   std::chrono::milliseconds(5));
        while (taken < later.size());
        EXPECT_EQ(Shown(loader.Take()), t.shown) << "turn " << turn++;
    }
    loader.Look([](const StreamBuilder* b) {
        EXPECT_EQ(b->Stream().Bytes(0), 18u);
        EXPECT_EQ(b->Stream().Bytes(1), 11u);
    });
}

TEST(StreamSave, PrivateFileAndNoOtherKind)
{
    const auto dir = std::filesystem::temp_directory_path() / ("quillet-save-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string error;
    const std::string file = (dir / "out.bin").string();
    ASSERT_TRUE(SaveStreamBytes(file, std::string("a\0b", 3), error)) << error;
    EXPECT_EQ(std::filesystem::file_size(file), 3u);
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_FALSE(SaveStreamBytes(dir.string(), "x", error));
    EXPECT_FALSE(SaveStreamBytes("/dev/null", "x", error));
    std::filesystem::remove_all(dir);
}

}  // namespace
