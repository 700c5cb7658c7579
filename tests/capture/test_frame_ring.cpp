// The ring the capture program hands frames over in: what one side writes
// the other reads back whole and in order, across the end of the ring, and
// neither side takes the other's word beyond what it can be.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

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
        while (reader.Next(kind, body) == FrameRingReader::Result::Record) {
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
