// The capture budget: limits, defaults, and how often the figures are read.
#include <gtest/gtest.h>

#include "core/StoreBudget.h"

using namespace quillet;
using namespace std::chrono_literals;

TEST(StoreBudget, StopsAtTheMemoryLimitAndReadsAtMostTwiceASecond)
{
    StoreBudget b(1000, 1);
    int reads = 0;
    std::uint64_t resident = 999;
    b.residentBytes = [&] { ++reads; return resident; };
    b.freeSpace = [](const std::string&, StoreBudget::Space& s) { s = {100, 100}; return true; };
    const auto t0 = StoreBudget::Clock::now();
    EXPECT_EQ(b.Check(t0, 0, "/d"), "");
    resident = 1000;
    for (int i = 0; i < 100; ++i)  // within half a second: not read again
        EXPECT_EQ(b.Check(t0 + 1ms * i, 0, "/d"), "");
    EXPECT_EQ(reads, 1);
    const std::string why = b.Check(t0 + 500ms, 0, "/d");
    EXPECT_NE(why.find("内存"), std::string::npos) << why;
    EXPECT_EQ(reads, 2);
    EXPECT_GE(StoreBudget(0, 0).memoryLimit(), StoreBudget::PhysicalMemory() / 2 - 1);
    EXPECT_GT(StoreBudget::ReadResidentBytes(), 0u);
}

TEST(StoreBudget, StopsBeforeTheDiskReserve)
{
    StoreBudget b(~std::uint64_t{0}, 0);
    b.residentBytes = [] { return std::uint64_t{0}; };
    int reads = 0;
    StoreBudget::Space space{std::uint64_t{100} << 30, std::uint64_t{2} << 30};  // 100 GiB, 2 GiB free
    b.freeSpace = [&](const std::string&, StoreBudget::Space& s) { ++reads; s = space; return true; };
    // Default reserve: min(1 GiB, 5 %).
    EXPECT_EQ(b.ReserveFor(std::uint64_t{100} << 30), std::uint64_t{1} << 30);
    EXPECT_EQ(b.ReserveFor(1000), 50u);
    const auto t0 = StoreBudget::Clock::now();
    EXPECT_EQ(b.Check(t0, 0, "/d"), "");
    space.available = (std::uint64_t{1} << 30) - 1;
    EXPECT_EQ(b.Check(t0 + 1ms, 1 << 20, "/d"), "");  // neither 500 ms nor 16 MiB: not read
    EXPECT_EQ(reads, 1);
    const std::string why = b.Check(t0 + 2ms, 17 << 20, "/d");  // 16 MiB more written
    EXPECT_NE(why.find("/d"), std::string::npos) << why;
    EXPECT_EQ(reads, 2);
    // A given reserve replaces the default.
    StoreBudget small(~std::uint64_t{0}, 10);
    small.residentBytes = [] { return std::uint64_t{0}; };
    small.freeSpace = [](const std::string&, StoreBudget::Space& s) { s = {1000, 10}; return true; };
    EXPECT_EQ(small.Check(t0, 0, "/d"), "");
    small.freeSpace = [](const std::string&, StoreBudget::Space& s) { s = {1000, 9}; return true; };
    EXPECT_NE(small.Check(t0 + 1s, 0, "/d"), "");
    StoreBudget::Space real;
    EXPECT_TRUE(StoreBudget::ReadFreeSpace("/", real));
    EXPECT_GT(real.total, 0u);
}
