// The ring the capture program hands frames over in: what one side writes
// the other reads back whole and in order, across the end of the ring (and
// may look at before it takes it), and neither side takes the other's word
// beyond what it can be.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "capture/BrokenRings.h"
#include "capture/FrameRing.h"

using namespace quillet;
namespace ch = quillet::channel;

TEST(FrameRing, FramesArriveWholeInOrderAcrossTheEndAndPositionsAreChecked)
{
    FrameRingWriter writer(64 * 1024);
    ASSERT_TRUE(writer.valid()) << std::strerror(writer.error());
    FrameRingReader reader;
    ASSERT_TRUE(reader.Map(dup(writer.fd()), writer.dataBytes()));

    std::uint32_t kind = 0;
    std::span<const std::uint8_t> body;
    std::vector<std::uint8_t> frame(1500);
    int next = 0;  // the frame the reader expects
    int sent = 0;
    // Frames of varying length, written until the ring is full, read, freed:
    // several times round the ring.
    for (int round = 0; round < 8; ++round) {
        for (;;) {
            frame.resize(60 + static_cast<std::size_t>(sent * 37 % 1400));
            std::memset(frame.data(), sent & 0xff, frame.size());
            if (!writer.PutFrame(1000 + sent, static_cast<std::uint32_t>(frame.size()) + 4, frame))
                break;
            ++sent;
        }
        EXPECT_EQ(reader.Next(kind, body), FrameRingReader::Result::Empty) << "nothing before it is published";
        ASSERT_TRUE(writer.Publish());
        for (;;) {
            // A look at the next record leaves it, past the ring's end too.
            std::uint32_t peekedKind = 0;
            std::span<const std::uint8_t> peeked;
            const FrameRingReader::Result peek = reader.Peek(peekedKind, peeked);
            if (reader.Next(kind, body) != FrameRingReader::Result::Record) {
                EXPECT_EQ(peek, FrameRingReader::Result::Empty);
                break;
            }
            ASSERT_EQ(peek, FrameRingReader::Result::Record);
            EXPECT_EQ(peekedKind, kind);
            EXPECT_EQ(peeked.data(), body.data());
            EXPECT_EQ(peeked.size(), body.size());
            ASSERT_EQ(kind, ch::kFrame);
            ch::FrameHead head;
            std::memcpy(&head, body.data(), sizeof head);
            const std::size_t length = 60 + static_cast<std::size_t>(next * 37 % 1400);
            ASSERT_EQ(head.timestampUs, 1000 + next);
            ASSERT_EQ(head.wireLength, length + 4);
            ASSERT_EQ(body.size(), sizeof head + length);
            EXPECT_EQ(body[sizeof head], next & 0xff);
            EXPECT_EQ(body.back(), next & 0xff);
            ++next;
        }
        // The writer believes no position it did not write, nor one going back.
        EXPECT_FALSE(writer.Consumed(writer.written() + 8));
        ASSERT_TRUE(writer.Consumed(reader.position()));
        EXPECT_FALSE(writer.Consumed(reader.position() - 8));
    }
    EXPECT_EQ(next, sent);
    EXPECT_GT(writer.written(), 4 * writer.dataBytes());

    // The window maps only a ring of the size it was told, and to read only.
    FrameRingReader wrongSize;
    EXPECT_FALSE(wrongSize.Map(dup(writer.fd()), writer.dataBytes() * 2));
    void* writable = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, writer.fd(), 0);
    EXPECT_EQ(writable, MAP_FAILED) << "the one it is handed to cannot write to it";
}

// A ring the window is handed, written by a test as a broken capture program
// would: the reader gives the good frame before the fault, then refuses.
TEST(FrameRing, TheReaderRefusesPositionsAndRecordLengthsThatBreakTheRules)
{
    constexpr std::size_t kData = test::kRingDataBytes;
    const std::vector<std::uint8_t> frame(60, 0xAB);
    auto makeRing = [&](std::uint8_t*& base) {
        const int fd = memfd_create("broken-ring", MFD_CLOEXEC);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(test::kRingHeaderBytes + kData)), 0);
        void* at = mmap(nullptr, test::kRingHeaderBytes + kData, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        EXPECT_NE(at, MAP_FAILED);
        base = static_cast<std::uint8_t*>(at);
        return fd;
    };
    auto isTheFrame = [&](std::uint32_t kind, std::span<const std::uint8_t> body) {
        return kind == ch::kFrame && body.size() == sizeof(ch::FrameHead) + frame.size()
               && body[sizeof(ch::FrameHead)] == 0xAB;
    };
    for (const test::RingFault& fault : test::kRingFaults) {
        SCOPED_TRACE(fault.name);
        std::uint8_t* base = nullptr;
        const int fd = makeRing(base);
        test::WriteBrokenRing(base, kData, fault, frame);
        FrameRingReader reader;
        ASSERT_TRUE(reader.Map(fd, kData));
        std::uint32_t kind = 0;
        std::span<const std::uint8_t> body;
        FrameRingReader::Result r = reader.Next(kind, body);
        if (r == FrameRingReader::Result::Record) {
            EXPECT_TRUE(isTheFrame(kind, body));
            r = reader.Next(kind, body);
        }
        EXPECT_EQ(r, FrameRingReader::Result::Broken);
        munmap(base, test::kRingHeaderBytes + kData);
    }

    // A position that goes back once the frame was read.
    std::uint8_t* base = nullptr;
    const int fd = makeRing(base);
    test::WriteBrokenRing(base, kData, test::kRingFaults[0], frame);
    const std::uint64_t good = 8 + sizeof(ch::FrameHead) + frame.size();  // 84, the frame's record unaligned
    const std::uint64_t published = (good + 7) & ~std::uint64_t{7};
    std::memcpy(base, &published, sizeof published);
    FrameRingReader reader;
    ASSERT_TRUE(reader.Map(fd, kData));
    std::uint32_t kind = 0;
    std::span<const std::uint8_t> body;
    ASSERT_EQ(reader.Next(kind, body), FrameRingReader::Result::Record);
    EXPECT_TRUE(isTheFrame(kind, body));
    EXPECT_EQ(reader.Next(kind, body), FrameRingReader::Result::Empty);
    const std::uint64_t back = published - 8;
    std::memcpy(base, &back, sizeof back);
    EXPECT_EQ(reader.Next(kind, body), FrameRingReader::Result::Broken);
    munmap(base, test::kRingHeaderBytes + kData);
}
