// The owners the kernel told of, answered at a packet's own time.
#include <gtest/gtest.h>

#include "programs/KernelOwners.h"
#include "programs/ProgramOwners.h"
#include "programs/SocketEndpoint.h"

using namespace quillet;

namespace {

std::uint64_t Key(std::uint32_t addr, std::uint16_t port)
{
    return SocketEndpoint{SocketEndpoint::kUdp, addr, port, false}.Key();
}

constexpr std::uint32_t kHost = 0x0100007F;  // 127.0.0.1

TEST(KernelOwners, AnswersTheOwnerAtEachTime)
{
    KernelOwners owners;
    owners.Add(Key(kHost, 53), 100, "a (1)");
    owners.Add(Key(kHost, 53), 300, "");        // closed at 300
    owners.Add(Key(kHost, 53), 500, "b (2)");   // taken again
    owners.Add(Key(kHost, 53), 200, "c (3)");   // told late, handed on at 200
    owners.Add(Key(0, 53), 50, "any (4)");       // every address, from 50
    owners.Add(Key(0, 54), 10, "other (5)");
    owners.Add(Key(kHost, 99), 10, "");          // nobody after nobody known: nothing kept

    struct Case {
        std::uint64_t key;
        std::int64_t at;
        const char* expect;  // nullptr: the kernel says nothing
    } cases[] = {
        {Key(kHost, 53), 99, "any (4)"},  // before its own first: the socket on every address
        {Key(kHost, 53), 100, "a (1)"},
        {Key(kHost, 53), 250, "c (3)"},
        {Key(kHost, 53), 300, nullptr},   // closed: left to the look-ups, not the wildcard
        {Key(kHost, 53), 499, nullptr},
        {Key(kHost, 53), 10'000, "b (2)"},
        {Key(kHost, 53), 40, nullptr},    // before anyone
        {Key(0x0200007F, 54), 20, "other (5)"},
        {Key(kHost, 55), 1000, nullptr},
        {Key(kHost, 99), 1000, nullptr},
    };
    for (const Case& c : cases) {
        SocketEndpoint any = SocketEndpoint::FromKey(c.key);
        any.addr = 0;
        const std::string* got = owners.At(c.key, any.Key(), c.at);
        if (c.expect == nullptr)
            EXPECT_EQ(got, nullptr) << c.at << " " << (got ? *got : "");
        else
            EXPECT_EQ(got ? *got : "(none)", c.expect) << c.at;
    }
    EXPECT_EQ(owners.size(), 3u);
}

TEST(KernelOwners, KeepsBoundedHistories)
{
    KernelOwners owners;
    for (std::int64_t t = 1; t <= static_cast<std::int64_t>(KernelOwners::kMaxChanges) + 10; ++t)
        owners.Add(Key(kHost, 7), t, "p (" + std::to_string(t) + ")");
    EXPECT_EQ(owners.At(Key(kHost, 7), Key(0, 7), 5), nullptr) << "the oldest changes went first";
    const std::string* last = owners.At(Key(kHost, 7), Key(0, 7), 1'000);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(*last, "p (" + std::to_string(KernelOwners::kMaxChanges + 10) + ")");
}

// A connected socket's owner is told at its release, after its packets were
// answered for: they are named then, those before and after it keep theirs.
TEST(KernelOwners, OwnersToldLateNameThePacketsAskedAboutBefore)
{
    KernelOwners kernel;
    ProgramOwners programs;
    const std::uint64_t own = Key(kHost, 5000), other = Key(kHost, 6000);
    // Each packet asked about in a batch of its own, the kernel knowing none.
    const auto ask = [&](std::uint64_t key, std::int64_t seq, std::int64_t us, const char* lookedUp) {
        programs.Note(key, seq, us);
        for (const OwnerRequest& r : programs.TakeBatch()) {
            SocketEndpoint any = SocketEndpoint::FromKey(r.key);
            any.addr = 0;
            ASSERT_EQ(kernel.At(r.key, any.Key(), r.fromUs), nullptr);
            kernel.Asked(r, any.Key());
            programs.Apply({{r.key, r.fromSeq, lookedUp ? OwnerAnswer::Owner : OwnerAnswer::None, lookedUp ? lookedUp : ""}});
        }
    };
    ask(own, 1, 100, nullptr);
    ask(own, 2, 200, nullptr);
    ask(own, 3, 300, nullptr);
    ask(own, 4, 600, "later (9)");  // a process the look-up found after the release
    ask(other, 5, 700, nullptr);
    EXPECT_TRUE(kernel.Amends().empty()) << "nothing told yet";

    kernel.Add(own, 150, "conn (7)");  // made at 150, released at 500
    kernel.Add(own, 500, "");
    kernel.Add(Key(0, 6000), 650, "any (8)");  // on every address
    const std::vector<OwnerAmend> amends = kernel.Amends();
    ASSERT_EQ(amends.size(), 2u);
    for (const OwnerAmend& a : amends)
        EXPECT_NE(programs.Amend(a.key, a.fromSeq, a.untilSeq, a.text), 0);
    EXPECT_TRUE(kernel.Amends().empty()) << "named once";

    struct Case {
        std::uint64_t key;
        std::int64_t seq;
        const char* expect;
    } cases[] = {
        {own, 1, nullptr}, {own, 2, "conn (7)"}, {own, 3, "conn (7)"}, {own, 4, "later (9)"}, {other, 5, "any (8)"},
    };
    for (const Case& c : cases) {
        const QString* got = programs.OwnerAt(c.key, c.seq);
        EXPECT_EQ(got ? got->toStdString() : "(none)", c.expect ? c.expect : "(none)") << c.seq;
    }
    // An owner already known, told later for a packet: what was shown of
    // that packet may change, so a filter must resolve again.
    const std::uint64_t version = programs.Version();
    EXPECT_NE(programs.Amend(own, 1, 2, "later (9)"), 0);
    EXPECT_EQ(programs.OwnerAt(own, 1)->toStdString(), "later (9)");
    EXPECT_NE(programs.Version(), version);
}

}  // namespace
