#include <gtest/gtest.h>

#include "filters/cFilter.h"

namespace quillet {
namespace {

cFilter Make(bool src, std::string Src, bool dest, std::string Dest, bool both)
{
    cFilter f;
    f.bSrc = src;
    f.Src = std::move(Src);
    f.bDest = dest;
    f.Dest = std::move(Dest);
    f.bAND = both;
    return f;
}

TEST(FilterMatch, ComparesWholeTextsExactly)
{
    const cFilter f = Make(true, "192.168.0.1", false, "", false);
    EXPECT_TRUE(f.Admits("192.168.0.1", "10.0.0.1"));
    EXPECT_FALSE(f.Admits("192.168.0.10", "10.0.0.1"));
    EXPECT_FALSE(f.Admits("192.168.0.1 ", "10.0.0.1"));
    EXPECT_FALSE(f.Admits("192.168.0.", "10.0.0.1"));
    EXPECT_FALSE(f.Admits("10.0.0.1", "192.168.0.1"));  // destination is not the source criterion
}

TEST(FilterMatch, AndNeedsBothOrNeedsEither)
{
    const cFilter both = Make(true, "1.1.1.1", true, "2.2.2.2", true);
    EXPECT_TRUE(both.Admits("1.1.1.1", "2.2.2.2"));
    EXPECT_FALSE(both.Admits("1.1.1.1", "3.3.3.3"));
    EXPECT_FALSE(both.Admits("3.3.3.3", "2.2.2.2"));

    const cFilter either = Make(true, "1.1.1.1", true, "2.2.2.2", false);
    EXPECT_TRUE(either.Admits("1.1.1.1", "3.3.3.3"));
    EXPECT_TRUE(either.Admits("3.3.3.3", "2.2.2.2"));
    EXPECT_FALSE(either.Admits("2.2.2.2", "1.1.1.1"));

    const cFilter destOnly = Make(false, "", true, "2.2.2.2", false);
    EXPECT_TRUE(destOnly.Admits("9.9.9.9", "2.2.2.2"));
    EXPECT_FALSE(destOnly.Admits("2.2.2.2", "9.9.9.9"));
}

TEST(FilterMatch, CriterionNotInForceNeverHolds)
{
    const cFilter none;
    EXPECT_FALSE(none.Admits("", ""));
    EXPECT_FALSE(none.Admits("1.1.1.1", "2.2.2.2"));
    // Texts left in fields whose criterion is off do not widen an OR filter.
    const cFilter stale = Make(false, "1.1.1.1", true, "2.2.2.2", false);
    EXPECT_FALSE(stale.Admits("1.1.1.1", "9.9.9.9"));
    // A ticked criterion with an empty address matches only an empty address.
    const cFilter empty = Make(true, "", false, "", false);
    EXPECT_FALSE(empty.Admits("1.1.1.1", "2.2.2.2"));
}

}  // namespace
}  // namespace quillet
