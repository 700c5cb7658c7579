// The compact record gives back exactly the texts the views showed when each
// field held its text inline (FixedText), for the edges of every field.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/FixedText.h"
#include "core/PayloadArena.h"
#include "core/SpareTexts.h"
#include "decode/DecodeDatagram.h"
#include "decode/clV.h"
#include "views/ArrivalTime.h"

using namespace quillet;

namespace {

// Each text must come back as the inline field of the old record kept it:
// the same characters, cut to the same width.
template <class Packed, std::size_t N>
void ExpectSameTexts(const std::vector<std::string>& texts, bool expectPacked)
{
    for (const std::string& t : texts) {
        const Packed packed(t);
        const FixedText<N> inline_(t);
        EXPECT_EQ(packed.text().view(), inline_.view()) << "'" << t << "'";
        std::uint32_t v = 0;
        if (!t.empty()) {
            EXPECT_EQ(packed.packed(v), expectPacked) << "'" << t << "'";
        }
        EXPECT_EQ(packed.empty(), t.empty());
    }
}

}  // namespace

TEST(RecordFields, DecoderTextsArePackedAndComeBackTheSame)
{
    std::vector<std::string> protocols = {"ICMP", "TCP", "UDP", "0", "2", "47", "255"};
    ExpectSameTexts<ProtocolText7, 7>(protocols, true);
    for (int p = 0; p < 256; ++p)
        EXPECT_EQ(ProtocolText7(ProtocolText(static_cast<std::uint8_t>(p))).text().view(),
                  ProtocolText(static_cast<std::uint8_t>(p)).view());

    ExpectSameTexts<AddressText, 15>({"0.0.0.0", "255.255.255.255", "10.0.0.1", "1.22.133.4", "127.0.0.1"}, true);
    ExpectSameTexts<PortText5, 5>({"0", "1", "80", "1024", "65535"}, true);
    ExpectSameTexts<SizeText, 10>({"0", "1", "1400", "65515", "1073741823"}, true);
    // Sizes past 30 bits are kept as texts, and still show the same.
    ExpectSameTexts<SizeText, 10>({"1073741824", "2147483647", "4294967295"}, false);
    SizeText big;
    big.assignPacked(4294967295u);
    EXPECT_EQ(big.text().view(), "4294967295");
    ExpectSameTexts<TimeText, 15>({"00:00:00.00", "23:59:59.99", "12:00:60.50", "09:05:07,01", "01:02:03.04"}, true);
}

TEST(RecordFields, OtherTextsAreKeptAsGiven)
{
    // Not in the decoder's form: names of the numbers, leading zeros, out of
    // range, signs, too long (cut to the field's width like before).
    ExpectSameTexts<ProtocolText7, 7>({"1", "6", "17", "06", "256", "-1", "tcp", "ICMPv6-long", "999999999"}, false);
    ExpectSameTexts<AddressText, 15>(
        {"256.0.0.1", "01.2.3.4", "1.2.3", "1.2.3.4.5", "1..2.3", "a.b.c.d", "1.2.3.4 ", "1234.1.1.1",
         "::1"},
        false);
    ExpectSameTexts<PortText5, 5>({"65536", "080", "-1", "http", "99999"}, false);
    ExpectSameTexts<SizeText, 10>({"-1", "4294967296", "007"}, false);
    // A text cut to the field's width is held by what is left.
    ExpectSameTexts<AddressText, 15>({"255.255.255.2550"}, true);
    ExpectSameTexts<SizeText, 10>({"10000000000"}, true);
    ExpectSameTexts<TimeText, 15>(
        {"24:00:00.00", "12:60:00.00", "12:00:61.00", "1:02:03.04", "12-00-00.00", "12:00:00.0x", "whenever"},
        false);
    // The same odd text twice is kept once.
    const std::uint32_t before = SpareTexts::Count();
    const PortText5 a("00443"), b("00443");
    EXPECT_EQ(SpareTexts::Count(), before + 1);
    EXPECT_EQ(a.text().view(), "00443");
    EXPECT_EQ(b.text().view(), "00443");
}

TEST(RecordFields, ArrivalTimesAroundMidnightAndSeparators)
{
    // Whatever the clock writes comes back: every hundredth of the second
    // before and after midnight, and long separators.
    for (const char* sep : {".", ",", "·", "sep"}) {
        ArrivalTime clock(sep);
        for (std::int64_t base : {std::int64_t{0}, std::int64_t{86400} * 1000000 * 20000}) {
            for (std::int64_t us = -1000000; us < 1000000; us += 9999) {
                const FixedText<15> made = clock(base + us);
                EXPECT_EQ(TimeText(made).text().view(), made.view());
                std::uint32_t v = 0;
                EXPECT_TRUE(TimeText(made).packed(v)) << made;
            }
        }
    }
}

TEST(RecordFields, RecordStaysSmall)
{
    EXPECT_LE(sizeof(clV), 42u);
    EXPECT_EQ(alignof(clV), 1u);
    const PayloadRef ref(std::uint64_t{1} << 47, 0xFFFFFFFFu);
    EXPECT_EQ(ref.offset(), std::uint64_t{1} << 47);
    EXPECT_EQ(ref.length(), 0xFFFFFFFFu);
}

TEST(PayloadArena, BytesComeBackAcrossBlocks)
{
    PayloadArena arena;
    std::vector<std::pair<std::uint64_t, std::string>> kept;
    std::string bytes;
    for (int i = 0; i < 3000; ++i) {
        bytes.assign(static_cast<std::size_t>(i * 7 % 1500), static_cast<char>(i));
        if (!bytes.empty())
            bytes[0] = '\0';
        kept.emplace_back(arena.append(bytes), bytes);
    }
    ASSERT_GT(arena.size(), 2 * PayloadArena::kBlockSize);  // crossed blocks
    std::string out;
    for (const auto& [offset, b] : kept) {
        ASSERT_TRUE(arena.read(offset, static_cast<std::uint32_t>(b.size()), out));
        ASSERT_EQ(out, b);
    }
    EXPECT_FALSE(arena.read(arena.size(), 1, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(arena.read(arena.size() + 5, 0, out));
    EXPECT_TRUE(arena.read(arena.size(), 0, out));
}

TEST(DecodeDatagram, PayloadLeftInPlaceIsTheSameBytes)
{
    // IPv4 + UDP 1000 -> 53, four payload bytes, then link padding.
    std::vector<std::uint8_t> g = {0x45, 0, 0, 32, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2,
                                   0x03, 0xE8, 0, 53, 0, 12, 0, 0, 'a', 0, 0xFF, 'z', 0xEE, 0xEE};
    const auto copied = DecodeDatagram(g);
    const auto inPlace = DecodeDatagram(g, false);
    ASSERT_TRUE(copied && inPlace);
    EXPECT_TRUE(inPlace->data.empty());
    EXPECT_EQ(inPlace->payloadAt, 28u);
    EXPECT_EQ(inPlace->size, 4);
    EXPECT_EQ(PayloadView(g, *inPlace), copied->data);
    EXPECT_EQ(inPlace->srcPort, "1000");
}
