#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/Twips.h"
#include "inspect/HexDump.h"

using quillet::BytesPerLine;
using quillet::HexDump;

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// Splits on CR LF; every line, the last included, must end with it.
std::vector<std::string> Lines(const std::string& dump)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < dump.size()) {
        const std::size_t end = dump.find("\r\n", pos);
        EXPECT_NE(end, std::string::npos) << "line without CR LF at " << pos;
        if (end == std::string::npos)
            break;
        lines.push_back(dump.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

}  // namespace

TEST(HexDumpLayout, GetRequestWithFiveBytesPerLine)
{
    const auto out = HexDump(Bytes({0x47, 0x45, 0x54, 0x20, 0x2F, 0x0D, 0x0A}), 5);
    EXPECT_EQ(out.dump,
              "  47 45 54 20 2F | GET /\r\n"
              "  0D 0A          | ..\r\n");
    EXPECT_EQ(out.text, "GET /..");
}

TEST(HexDumpLayout, ShortLastLineKeepsTheBarInItsColumn)
{
    for (int n : {1, 2, 5, 10, 16}) {
        for (int extra = 1; extra < n; ++extra) {
            const std::string payload(static_cast<std::size_t>(2 * n + extra), 'A');
            const auto lines = Lines(HexDump(payload, n).dump);
            ASSERT_EQ(lines.size(), 3u) << "n=" << n << " extra=" << extra;
            for (const auto& line : lines) {
                EXPECT_EQ(line.find(" | "), static_cast<std::size_t>(1 + 3 * n));
                EXPECT_EQ(line[0], ' ');
            }
            EXPECT_EQ(lines[0].size(), static_cast<std::size_t>(1 + 3 * n + 3 + n));
            EXPECT_EQ(lines[2].size(), static_cast<std::size_t>(1 + 3 * n + 3 + extra));
        }
    }
}

TEST(HexDumpLayout, OneByteOverAFullLinePadsWithThreeNMinusThreeSpaces)
{
    const int n = 10;
    std::string payload(static_cast<std::size_t>(n + 1), 'x');
    payload.back() = 'Z';
    const auto lines = Lines(HexDump(payload, n).dump);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "  5A" + std::string(3 * n - 3, ' ') + " | Z");
}

TEST(HexDumpLayout, ExactMultiplesGiveOnlyFullLines)
{
    for (int n : {1, 3, 8}) {
        for (int k : {1, 2, 7}) {
            const std::string payload(static_cast<std::size_t>(n * k), 'q');
            const auto out = HexDump(payload, n);
            const auto lines = Lines(out.dump);
            ASSERT_EQ(lines.size(), static_cast<std::size_t>(k));
            for (const auto& line : lines)
                EXPECT_EQ(line.size(), static_cast<std::size_t>(4 * n + 4)) << line;
            EXPECT_EQ(out.text, payload);
        }
    }
}

TEST(HexDumpLayout, EmptyPayloadWritesNothing)
{
    const auto out = HexDump(std::string_view(), 10);
    EXPECT_TRUE(out.dump.empty());
    EXPECT_TRUE(out.text.empty());
}

TEST(HexDumpLayout, LineLengthBelowOneCountsAsOne)
{
    for (int n : {0, -3}) {
        const auto out = HexDump("ab", n);
        EXPECT_EQ(out.dump, "  61 | a\r\n  62 | b\r\n");
        EXPECT_EQ(out.text, "ab");
    }
}

TEST(HexDumpLayout, LargestDatagramPayload)
{
    std::string payload(65515, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7);
    const int n = 16;
    const auto out = HexDump(payload, n);
    const auto lines = Lines(out.dump);
    ASSERT_EQ(lines.size(), (payload.size() + n - 1) / n);
    EXPECT_EQ(out.text.size(), payload.size());
    // Last line: 65515 = 4094 * 16 + 11 bytes.
    EXPECT_EQ(lines.back().size(), static_cast<std::size_t>(1 + 3 * n + 3 + 11));
    // Every hex pair decodes back to its byte.
    std::size_t index = 0;
    for (const auto& line : lines) {
        const std::size_t bar = line.find(" | ");
        for (std::size_t p = 1; p + 3 <= bar && line[p + 1] != ' '; p += 3) {
            const int value = std::stoi(line.substr(p + 1, 2), nullptr, 16);
            ASSERT_EQ(value, static_cast<unsigned char>(payload[index])) << "byte " << index;
            ++index;
        }
    }
    EXPECT_EQ(index, payload.size());
}

TEST(HexDumpBytes, ControlBytesBecomeDotsAndHexHasTwoUpperCaseDigits)
{
    const auto out = HexDump(Bytes({0x00, 0x05, 0x09, 0x0A, 0x0D, 0x1F, 0x20, 0x41}), 8);
    EXPECT_EQ(out.dump, "  00 05 09 0A 0D 1F 20 41 | ...... A\r\n");
    EXPECT_EQ(out.text, "...... A");
}

TEST(HexDumpBytes, DeleteAndHighBytesAreShownAsThemselves)
{
    const std::string payload = Bytes({0x7F, 0x80, 0xA9, 0xFF});
    const auto out = HexDump(payload, 4);
    EXPECT_EQ(out.dump, "  7F 80 A9 FF | " + payload + "\r\n");
    EXPECT_EQ(out.text, payload);
}

TEST(HexDumpBytes, TextRunHasNoLineEnds)
{
    const auto out = HexDump("line one\r\nline two\r\n", 4);
    EXPECT_EQ(out.text, "line one..line two..");
    EXPECT_EQ(out.text.find('\n'), std::string::npos);
}

TEST(BytesPerLineRule, DesignExamples)
{
    EXPECT_EQ(BytesPerLine(5062.0f), 10);
    EXPECT_EQ(BytesPerLine(1680.0f), 2);  // 1.5 up to the even 2
    EXPECT_EQ(BytesPerLine(2100.0f), 2);  // 2.5 down to the even 2
    EXPECT_EQ(BytesPerLine(2520.0f), 4);  // 3.5 up to the even 4
}

TEST(BytesPerLineRule, NarrowBoxesStillGetOneByte)
{
    EXPECT_EQ(BytesPerLine(1365.0f), 1);  // 0.75
    EXPECT_EQ(BytesPerLine(1260.0f), 1);  // 0.5 would round to 0
    EXPECT_EQ(BytesPerLine(0.0f), 1);
    EXPECT_EQ(BytesPerLine(-3000.0f), 1);
    EXPECT_EQ(BytesPerLine(std::nanf("")), 1);
}

TEST(BytesPerLineRule, GrowsWithTheWidthOneByteAtATime)
{
    int previous = BytesPerLine(0.0f);
    for (int w = 15; w <= 30000; w += 15) {
        const int n = BytesPerLine(static_cast<float>(w));
        EXPECT_TRUE(n == previous || n == previous + 1) << "w=" << w;
        previous = n;
    }
    EXPECT_EQ(previous, 69);  // (30000/105 - 6)/4 - 1 = 68.93
}

TEST(TwipsRounding, HalvesGoToTheEvenNeighbour)
{
    EXPECT_EQ(quillet::RoundHalfEven(0.5), 0);
    EXPECT_EQ(quillet::RoundHalfEven(1.5), 2);
    EXPECT_EQ(quillet::RoundHalfEven(2.5), 2);
    EXPECT_EQ(quillet::RoundHalfEven(-0.5), 0);
    EXPECT_EQ(quillet::RoundHalfEven(-1.5), -2);
    EXPECT_EQ(quillet::RoundHalfEven(2.4999), 2);
    EXPECT_EQ(quillet::TwipsToPixels(2288), 153);   // 152.53
    EXPECT_EQ(quillet::TwipsToPixels(1927.5), 128);  // 128.5 to even
    EXPECT_EQ(quillet::TwipsToPixels(1942.5), 130);  // 129.5 to even
}
