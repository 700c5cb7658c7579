#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/CaptureFileReader.h"
#include "core/CaptureFileWriter.h"
#include "core/PcapFormat.h"
#include "core/PcapngFormat.h"
#include "core/PcapngNotes.h"

using namespace quillet;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Names = pcapng::Names;

// Whether a big-endian block is in the other order than this machine's.
constexpr bool kBigIsSwapped = std::endian::native == std::endian::little;

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Be32(std::uint32_t v)
{
    return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

Bytes Be16(std::uint16_t v)
{
    return {std::uint8_t(v >> 8), std::uint8_t(v)};
}

Bytes Text(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

// A block as a big-endian writer lays it out, by hand.
Bytes BigEndianBlock(std::uint32_t type, const Bytes& body)
{
    const auto total = std::uint32_t(12 + body.size());
    return Cat({Be32(type), Be32(total), body, Be32(total)});
}

// A big-endian section: header, interface (raw IP), a packet of 5 bytes with the comment "ab"
// (timestamp 2^32 + 2, original length 9), and a name block of one IPv4 and one IPv6 record.
Bytes BigEndianSection()
{
    const Bytes v6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return Cat({BigEndianBlock(0x0A0D0D0A, Cat({Be32(0x1A2B3C4D), Be16(1), Be16(0), Bytes(8, 0xFF)})),
                BigEndianBlock(1, Cat({Be16(101), Be16(0), Be32(65535)})),
                BigEndianBlock(6, Cat({Be32(0), Be32(1), Be32(2), Be32(5), Be32(9), {1, 2, 3, 4, 5, 0, 0, 0},
                                       Be16(1), Be16(2), Text("ab"), {0, 0}, Be32(0)})),
                BigEndianBlock(4, Cat({Be16(1), Be16(8), {10, 0, 0, 1}, Text("a.t"), {0}, Be16(2), Be16(21), v6,
                                       Text("v6.t"), {0, 0, 0, 0}, Be32(0)}))});
}

// The blocks of a file, one after another.
std::vector<std::span<const std::uint8_t>> Blocks(const Bytes& file)
{
    std::vector<std::span<const std::uint8_t>> blocks;
    bool swapped = false;
    for (std::size_t at = 0; at < file.size();) {
        const std::uint32_t total = pcapng::BlockLength(std::span(file).subspan(at), swapped);
        EXPECT_NE(total, 0u) << "at " << at;
        if (total == 0 || at + total > file.size())
            break;
        blocks.push_back(std::span(file).subspan(at, total));
        at += total;
    }
    return blocks;
}

}  // namespace

TEST(CaptureFormats, EachBlockReadsBackAsItWasWritten)
{
    struct Case {
        std::int64_t ts;
        std::size_t captured;
        std::uint32_t original;
        std::string comment;
        std::uint32_t flags = 0;
    };
    const Case cases[] = {
        {1700000000123456, 0, 0, ""},      {1, 1, 1, "a"},           {2, 2, 9000, "ab"},
        {3, 3, 3, "abc"},                  {-5, 4, 2, "abcd"},       // no time before the epoch; never cut longer
        {std::int64_t{1} << 40, 5, 5, std::string(65535, 'c')},      // the timestamp's high word
        {7, 1499, 1500, std::string(65536, 'd')},                    // too long a comment is left out
        {8, 6, 6, "", pcapng::kFlagsInbound},                        // flags alone
        {9, 7, 7, "out", pcapng::kFlagsOutbound | 0x01000000},       // flags beside a comment, all bits kept
        {10, 3, 3, std::string(65536, 'e'), pcapng::kFlagsOutbound}, // flags without the comment left out
    };
    for (const Case& c : cases) {
        Bytes data(c.captured);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = std::uint8_t(i * 7 + 1);
        const std::int64_t ts = c.ts < 0 ? 0 : c.ts;
        const std::uint32_t original = std::max<std::uint32_t>(c.original, std::uint32_t(c.captured));
        const std::string_view comment = c.comment.size() > 65535 ? std::string_view() : c.comment;

        Bytes block(pcapng::PacketBytes(data.size(), c.comment, c.flags), 0xEE);
        pcapng::Packet put;
        put.timestampUs = c.ts;
        put.data = data;
        put.originalLength = c.original;
        put.comment = c.comment;
        put.flags = c.flags;
        const std::uint32_t at = pcapng::PutPacket(block.data(), put);
        bool swapped = false;
        EXPECT_EQ(pcapng::BlockLength(block, swapped), block.size()) << c.captured;
        EXPECT_EQ(block.size() % 4, 0u);
        pcapng::Packet got;
        ASSERT_TRUE(pcapng::ParsePacket(block, false, got)) << c.captured;
        EXPECT_EQ(got.timestampUs, ts);
        EXPECT_EQ(Bytes(got.data.begin(), got.data.end()), data);
        EXPECT_EQ(got.originalLength, original);
        EXPECT_EQ(got.comment, comment) << c.captured;
        EXPECT_EQ(got.flags, c.flags) << c.captured;
        EXPECT_EQ(got.data.data(), block.data() + at);
        const auto fields = pcapng::ParseFieldsBeforeData(std::span(block).subspan(at - 16).first<16>());
        EXPECT_EQ(fields.timestampUs, ts);
        EXPECT_EQ(fields.captured, c.captured);
        EXPECT_EQ(fields.originalLength, original);

        Bytes record(pcapfile::RecordBytes(data.size()));
        ASSERT_EQ(pcapfile::PutRecord(record.data(), c.ts, data, c.original), pcapfile::kRecordHeaderBytes);
        const pcapfile::RecordHeader r = pcapfile::ParseRecordHeader(record, pcapfile::FileHeader());
        EXPECT_EQ(r.timestampUs, ts);
        EXPECT_EQ(r.captured, c.captured);
        EXPECT_EQ(r.originalLength, original);
        EXPECT_EQ(Bytes(record.begin() + pcapfile::kRecordHeaderBytes, record.end()), data);
    }

    Bytes head;
    pcapng::PutSectionHeader(head);
    pcapng::PutInterface(head, 228, 262144);
    const auto blocks = Blocks(head);
    ASSERT_EQ(blocks.size(), 2u);
    bool swapped = true;
    int link = 0;
    std::uint32_t snap = 0;
    EXPECT_TRUE(pcapng::ParseSectionHeader(blocks[0], swapped));
    EXPECT_FALSE(swapped);
    EXPECT_TRUE(pcapng::ParseInterface(blocks[1], false, link, snap));
    EXPECT_EQ(std::pair(link, snap), std::pair(228, 262144u));
    Bytes pcapHead;
    pcapfile::PutFileHeader(pcapHead, 1, 65535);
    pcapfile::FileHeader file;
    ASSERT_TRUE(pcapfile::ParseFileHeader(pcapHead, file));
    EXPECT_EQ(std::tuple(file.linkType, file.snapLength, file.swapped, file.nanoseconds), std::tuple(1, 65535u, false, false));

    // Names of every length of padding, the longest kept, and those a name block cannot hold left out.
    const std::string longest(253, 'n');
    const Names names = {{"10.0.0.1", "a"},        {"10.0.0.2", "ab"},          {"10.0.0.3", "abc"},
                         {"2001:DB8::1", "abcd"},  {"10.0.0.5", longest},       {"10.0.0.6", longest + "n"},
                         {"10.0.0.7", ""},         {"host.test", "x"},          {"10.0.0.8", std::string("a\0b", 3)}};
    Bytes nrb;
    pcapng::PutNames(nrb, names);
    EXPECT_EQ(pcapng::BlockLength(nrb, swapped), nrb.size());
    Names read;
    pcapng::ParseNames(nrb, false, read);
    EXPECT_EQ(read, (Names{{"10.0.0.1", "a"}, {"10.0.0.2", "ab"}, {"10.0.0.3", "abc"}, {"2001:db8::1", "abcd"},
                           {"10.0.0.5", longest}}));
}

TEST(CaptureFormats, BlocksOfTheOtherByteOrderRead)
{
    const Bytes section = BigEndianSection();
    const auto blocks = Blocks(section);
    ASSERT_EQ(blocks.size(), 4u);
    bool swapped = !kBigIsSwapped;
    ASSERT_TRUE(pcapng::ParseSectionHeader(blocks[0], swapped));
    EXPECT_EQ(swapped, kBigIsSwapped);
    int link = 0;
    std::uint32_t snap = 0;
    EXPECT_TRUE(pcapng::ParseInterface(blocks[1], swapped, link, snap));
    EXPECT_EQ(std::pair(link, snap), std::pair(101, 65535u));
    pcapng::Packet packet;
    ASSERT_TRUE(pcapng::ParsePacket(blocks[2], swapped, packet));
    EXPECT_EQ(packet.timestampUs, (std::int64_t{1} << 32) + 2);
    EXPECT_EQ(Bytes(packet.data.begin(), packet.data.end()), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(packet.originalLength, 9u);
    EXPECT_EQ(packet.comment, "ab");
    Names names;
    pcapng::ParseNames(blocks[3], swapped, names);
    EXPECT_EQ(names, (Names{{"10.0.0.1", "a.t"}, {"2001:db8::1", "v6.t"}}));

    // Classic pcap, big-endian with nanoseconds: a record of 3 bytes cut from 4, at 2 s + 1 ms.
    const Bytes pcap = Cat({{0xA1, 0xB2, 0x3C, 0x4D}, Be16(2), Be16(4), Be32(0), Be32(0), Be32(65535), Be32(1),
                            Be32(2), Be32(1000000), Be32(3), Be32(4), {9, 9, 9}});
    pcapfile::FileHeader file;
    ASSERT_TRUE(pcapfile::ParseFileHeader(pcap, file));
    EXPECT_EQ(std::tuple(file.linkType, file.snapLength, file.swapped, file.nanoseconds),
              std::tuple(1, 65535u, kBigIsSwapped, true));
    const pcapfile::RecordHeader r = pcapfile::ParseRecordHeader(std::span(pcap).subspan(24), file);
    EXPECT_EQ(std::tuple(r.timestampUs, r.captured, r.originalLength), std::tuple(2001000, 3u, 4u));
}

// The notes come the same from a file's bytes in any pieces (a block split anywhere, sections of
// both byte orders), and from the frame reader, each frame with its own comment.
TEST(CaptureFormats, NotesReadInAnyPiecesAndWithTheFrames)
{
    char path[] = "/tmp/quillet-formats-XXXXXX.pcapng";
    const int fd = ::mkstemps(path, 7);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::string error;
    auto writer = CaptureFileWriter::Create(path, CaptureFileFormat::Pcapng, CaptureFileWriter::kLinkTypeRaw, error);
    ASSERT_TRUE(writer) << error;
    const Bytes datagram = {0x45, 0, 0, 20, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    const std::vector<std::string> comments = {"not a datagram", "", "program: a (1)", std::string(60000, 'x'),
                                               "program: b (2)"};
    ASSERT_TRUE(writer->AppendNames({{"10.0.0.1", "one.test"}, {"10.0.0.2", "bad name"}}));
    for (std::size_t i = 0; i < comments.size(); ++i)
        ASSERT_TRUE(writer->Append(1, i == 0 ? Bytes{1, 2, 3} : datagram, 20, comments[i]));
    ASSERT_TRUE(writer->AppendNames({{"2001:db8::2", "two.test"}}));
    ASSERT_TRUE(writer->Close());

    std::string frameComments;
    auto reader = CaptureFileReader::Open(path, error, true);
    ASSERT_TRUE(reader) << error;
    while (reader->Read(2, [&](const CapturedDatagram&) { frameComments += reader->comment() + "|"; })
           == CaptureFileReader::Status::More) {
    }
    EXPECT_EQ(reader->skipped(), 1);
    EXPECT_EQ(frameComments, "|program: a (1)|" + comments[3] + "|program: b (2)|");
    const Names hostNames = {{"10.0.0.1", "one.test"}, {"2001:db8::2", "two.test"}};
    EXPECT_EQ(reader->TakeNames(), hostNames);

    Bytes file;
    {
        std::FILE* f = std::fopen(path, "rb");
        ASSERT_NE(f, nullptr);
        for (int c; (c = std::fgetc(f)) != EOF;)
            file.push_back(std::uint8_t(c));
        std::fclose(f);
    }
    ::unlink(path);
    const Bytes both = Cat({file, BigEndianSection()});
    std::vector<std::string> want = comments;
    want.push_back("ab");
    Names wantNames = hostNames;
    wantNames.insert(wantNames.end(), {{"10.0.0.1", "a.t"}, {"2001:db8::1", "v6.t"}});
    for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{12}, std::size_t{13},
                                    std::size_t{4096}, both.size()}) {
        PcapngNotes notes;
        for (std::size_t at = 0; at < both.size(); at += piece)
            notes.Feed(std::span(both).subspan(at, std::min(piece, both.size() - at)));
        std::vector<std::string> got;
        for (std::string c; notes.NextPacket(c);)
            got.push_back(c);
        EXPECT_EQ(got, want) << "pieces of " << piece;
        EXPECT_EQ(notes.TakeNames(), wantNames) << "pieces of " << piece;
    }
}

// Each datagram read from a file carries the way it went, as its block's
// flags say (over what a cooked header says), else as its cooked header
// does, else none; its comment's program; and is never live.
TEST(CaptureFormats, ADatagramReadCarriesItsDirectionAndProgram)
{
    using Direction = CapturedDatagram::Direction;
    const Bytes datagram = {0x45, 0, 0, 20, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    const auto cooked2 = [&](std::uint8_t type) {
        Bytes frame = {0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, type, 6};
        frame.resize(20, 0x33);
        return Cat({frame, datagram});
    };
    struct Frame {
        Bytes bytes;
        std::uint32_t flags;
        std::string comment;
        Direction direction;
        std::string program;
    };
    struct File {
        int linkType;
        std::vector<Frame> frames;
    };
    const File files[] = {
        {CaptureFileWriter::kLinkTypeRaw,
         {{datagram, pcapng::kFlagsInbound, "", Direction::Received, ""},
          {datagram, pcapng::kFlagsOutbound, "program: dig (77)", Direction::Sent, "dig (77)"},
          {datagram, 0, "program: not one", Direction::Unknown, ""},
          {datagram, pcapng::kFlagsDirection, "", Direction::Unknown, ""},  // both bits: no direction
          {datagram, 0x00010000 | pcapng::kFlagsOutbound, "", Direction::Sent, ""}}},
        {276,  // Linux cooked v2
         {{cooked2(4), 0, "", Direction::Sent, ""},
          {cooked2(0), 0, "", Direction::Received, ""},
          {cooked2(3), 0, "", Direction::Unknown, ""},
          {cooked2(4), pcapng::kFlagsInbound, "", Direction::Received, ""}}},
    };
    for (const File& f : files) {
        Bytes file;
        pcapng::PutSectionHeader(file);
        pcapng::PutInterface(file, f.linkType, 65535);
        for (const Frame& frame : f.frames) {
            pcapng::Packet packet;
            packet.timestampUs = 1700000000000000;
            packet.data = frame.bytes;
            packet.comment = frame.comment;
            packet.flags = frame.flags;
            const std::size_t at = file.size();
            file.resize(at + pcapng::PacketBytes(frame.bytes.size(), frame.comment, frame.flags));
            pcapng::PutPacket(file.data() + at, packet);
        }
        char path[] = "/tmp/quillet-direction-XXXXXX.pcapng";
        const int fd = ::mkstemps(path, 7);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
        ::close(fd);
        std::string error;
        auto reader = CaptureFileReader::Open(path, error);
        ASSERT_TRUE(reader) << error;
        std::vector<std::pair<Direction, std::string>> got;
        while (reader->Read(2, [&](const CapturedDatagram& c) {
            EXPECT_FALSE(c.live);
            EXPECT_EQ(Bytes(c.bytes.begin(), c.bytes.end()), datagram);
            got.emplace_back(c.direction, std::string(c.program));
        }) == CaptureFileReader::Status::More) {
        }
        ::unlink(path);
        std::vector<std::pair<Direction, std::string>> want;
        for (const Frame& frame : f.frames)
            want.emplace_back(frame.direction, frame.program);
        EXPECT_EQ(got, want) << "link type " << f.linkType;
    }
}
