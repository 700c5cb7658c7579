// The figures and texts of the capture's status panels, without a window.
#include <gtest/gtest.h>

#include "session/CaptureStatus.h"

using namespace quillet;

namespace {

TEST(CaptureStatus, RateIsOverTheLastSecond)
{
    RateMeter m;
    EXPECT_EQ(m.Sample(10'000, 0, 0).datagrams, 0);
    // Half a second in: the rate since the first reading.
    RateMeter::Rate r = m.Sample(10'500, 500, 50'000);
    EXPECT_DOUBLE_EQ(r.datagrams, 1000);
    EXPECT_DOUBLE_EQ(r.bytes, 100'000);
    r = m.Sample(11'000, 1500, 150'000);
    EXPECT_DOUBLE_EQ(r.datagrams, 1500);
    // From here on only the last second counts: 1500 -> 1600 in 11.0 .. 12.0.
    m.Sample(11'500, 1550, 155'000);
    r = m.Sample(12'000, 1600, 160'000);
    EXPECT_DOUBLE_EQ(r.datagrams, 100);
    EXPECT_DOUBLE_EQ(r.bytes, 10'000);
    // After a late tick the base is the newest reading at least a second
    // old: 12.0 .. 14.5, 500 datagrams.
    r = m.Sample(14'000, 1600, 160'000);
    EXPECT_DOUBLE_EQ(r.datagrams, 0);
    r = m.Sample(14'500, 2100, 160'000);
    EXPECT_DOUBLE_EQ(r.datagrams, 200);
    r = m.Sample(15'000, 2600, 160'000);
    EXPECT_DOUBLE_EQ(r.datagrams, 1000) << "14.0 .. 15.0";

    // Reset: totals start again from zero without a negative rate.
    m.Reset();
    EXPECT_EQ(m.Sample(20'000, 0, 0).datagrams, 0);
    EXPECT_DOUBLE_EQ(m.Sample(20'500, 10, 0).datagrams, 20);
    // Two readings at the same moment give no rate rather than a division by zero.
    RateMeter same;
    same.Sample(5, 1, 1);
    EXPECT_EQ(same.Sample(5, 9, 9).datagrams, 0);
}

TEST(CaptureStatus, Texts)
{
    EXPECT_EQ(GroupedNumber(0), "0");
    EXPECT_EQ(GroupedNumber(999), "999");
    EXPECT_EQ(GroupedNumber(1000), "1,000");
    EXPECT_EQ(GroupedNumber(1234567), "1,234,567");
    EXPECT_EQ(GroupedNumber(18446744073709551615ull), "18,446,744,073,709,551,615");

    EXPECT_EQ(RateText({1234, 1'200'000}), "1,234 包/秒  1.2 MB/秒");
    EXPECT_EQ(RateText({0, 0}), "0 包/秒  0 B/秒");
    EXPECT_EQ(RateText({2.6, 999}), "3 包/秒  999 B/秒");
    EXPECT_EQ(RateText({1, 1000}), "1 包/秒  1.0 KB/秒");
    EXPECT_EQ(RateText({1, 999'999}), "1 包/秒  1.0 MB/秒") << "never 1000.0 KB";
    EXPECT_EQ(RateText({1, 3.5e9}), "1 包/秒  3.5 GB/秒");

    EXPECT_EQ(DropsText(123), "丢弃 123");
    EXPECT_EQ(DropsText(40000), "丢弃 40,000");

    EXPECT_EQ(CapturingText("10.77.0.1", "veth0", LinkState::Up), "捕获中 10.77.0.1 (veth0)");
    EXPECT_EQ(CapturingText("10.77.0.1", "veth0", LinkState::Down), "捕获中 10.77.0.1 (veth0): 接口已断开，等待中");
    EXPECT_EQ(CapturingText("10.77.0.1", "", LinkState::Up), "捕获中 10.77.0.1");
    EXPECT_EQ(CapturingText("10.77.0.1", "veth0", LinkState::Up, false), "捕获中 10.77.0.1 (veth0): 捕获程序没有回应");
    EXPECT_EQ(StoppedText(), "已停止");
}

TEST(CaptureStatus, ReadErrorsThatMeanTheInterfaceIsGone)
{
    EXPECT_TRUE(SaysInterfaceGone("The interface disappeared"));
    EXPECT_TRUE(SaysInterfaceGone("recvfrom: No such device"));
    EXPECT_TRUE(SaysInterfaceGone("No such device or address"));
    EXPECT_FALSE(SaysInterfaceGone(""));
    EXPECT_FALSE(SaysInterfaceGone("The interface went down"));
    EXPECT_FALSE(SaysInterfaceGone("Error condition on packet socket: Resource temporarily unavailable"));
}

}  // namespace
