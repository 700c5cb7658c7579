// The capture's system check: which kernels pass.
#include <gtest/gtest.h>

#include "shell/KernelVersion.h"

using namespace quillet;

TEST(KernelVersion, ReleaseTexts)
{
    EXPECT_EQ(ParseKernelMajor("6.1.0-18-amd64"), 6);
    EXPECT_EQ(ParseKernelMajor("10.2"), 10);
    EXPECT_EQ(ParseKernelMajor("2.6.32"), 2);
    EXPECT_EQ(ParseKernelMajor(""), std::nullopt);
    EXPECT_EQ(ParseKernelMajor("linux"), std::nullopt);
    EXPECT_EQ(ParseKernelMajor(nullptr), std::nullopt);
    EXPECT_EQ(ParseKernelMajor("99999999999.1"), std::nullopt);
}

TEST(KernelVersion, MajorThreeOrLaterPasses)
{
    EXPECT_TRUE(IsNT5OrHigher([] { return std::optional<int>(3); }));
    EXPECT_TRUE(IsNT5OrHigher([] { return std::optional<int>(6); }));
    EXPECT_FALSE(IsNT5OrHigher([] { return std::optional<int>(2); }));
    EXPECT_FALSE(IsNT5OrHigher([] { return std::optional<int>(); })) << "unreadable version";
    EXPECT_FALSE(IsNT5OrHigher(KernelMajorSource{}));
    // This machine runs a kernel that captures.
    ASSERT_TRUE(RunningKernelMajor().has_value());
    EXPECT_TRUE(IsNT5OrHigher());
}
