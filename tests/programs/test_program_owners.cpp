// The owners of endpoints over a run: what each packet shows, from the
// answers given for its endpoint.
#include <gtest/gtest.h>

#include "programs/ProgramOwners.h"
#include "programs/SocketEndpoint.h"

using namespace quillet;

namespace {

const std::uint64_t kA = SocketEndpoint{SocketEndpoint::kUdp, 0x0100000A, 5000}.Key();
const std::uint64_t kB = SocketEndpoint{SocketEndpoint::kTcp, 0x0100000A, 5000}.Key();

QString At(const ProgramOwners& o, std::uint64_t key, std::int64_t seq)
{
    const QString* owner = o.OwnerAt(key, seq);
    return owner ? *owner : QStringLiteral("<none>");
}

OwnerAnswer Owner(const OwnerRequest& r, const char* text)
{
    return {r.key, r.fromSeq, OwnerAnswer::Owner, text};
}

TEST(ProgramOwners, OneRequestPerEndpointAndBatchFromItsFirstPacket)
{
    ProgramOwners o;
    EXPECT_FALSE(o.HasPending());
    o.Note(kA, 1);
    o.Note(kB, 2);
    o.Note(kA, 3);
    ASSERT_TRUE(o.HasPending());
    EXPECT_TRUE(o.Unanswered());
    const std::vector<OwnerRequest> batch = o.TakeBatch();
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0].key, kA);
    EXPECT_EQ(batch[0].fromSeq, 1);
    EXPECT_EQ(batch[1].key, kB);
    EXPECT_EQ(batch[1].fromSeq, 2);
    EXPECT_FALSE(o.HasPending());
    EXPECT_EQ(o.AnsweredThrough(), 0);

    o.Note(kA, 4);  // while the batch is out
    EXPECT_EQ(o.Apply({Owner(batch[0], "talker (10)"), {kB, 2, OwnerAnswer::None, {}}}), 1);
    EXPECT_EQ(o.AnsweredThrough(), 3);
    EXPECT_TRUE(o.Unanswered());
    EXPECT_EQ(At(o, kA, 1), "talker (10)");
    EXPECT_EQ(At(o, kA, 3), "talker (10)");
    EXPECT_EQ(At(o, kB, 2), "<none>");
    EXPECT_EQ(At(o, SocketEndpoint{SocketEndpoint::kUdp, 1, 1}.Key(), 2), "<none>") << "never noted";

    const std::vector<OwnerRequest> next = o.TakeBatch();
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].fromSeq, 4);
    EXPECT_EQ(o.Apply({Owner(next[0], "talker (10)")}), 0) << "same owner: nothing changed";
    EXPECT_FALSE(o.Unanswered());
}

TEST(ProgramOwners, ReuseClosingAndGoneSockets)
{
    ProgramOwners o;
    auto ask = [&](std::int64_t seq, OwnerAnswer::Kind kind, const char* text) {
        o.Note(kA, seq);
        const std::vector<OwnerRequest> batch = o.TakeBatch();
        return o.Apply({{batch.at(0).key, batch.at(0).fromSeq, kind, text}});
    };
    EXPECT_EQ(ask(1, OwnerAnswer::None, ""), 0) << "gone before it was looked up: stays empty";
    EXPECT_EQ(ask(5, OwnerAnswer::Owner, "first (1)"), 5);
    EXPECT_EQ(ask(8, OwnerAnswer::Closing, ""), 0) << "a closing socket keeps its owner";
    EXPECT_EQ(ask(10, OwnerAnswer::Owner, "second (2)"), 10);
    EXPECT_EQ(ask(12, OwnerAnswer::None, ""), 12);
    EXPECT_EQ(ask(20, OwnerAnswer::Owner, "first (1)"), 20);
    const std::pair<std::int64_t, const char*> expect[] = {
        {1, "<none>"},      {4, "<none>"}, {5, "first (1)"},  {9, "first (1)"},
        {10, "second (2)"}, {11, "second (2)"}, {12, "<none>"}, {19, "<none>"}, {20, "first (1)"}, {99, "first (1)"},
    };
    for (const auto& [seq, text] : expect)
        EXPECT_EQ(At(o, kA, seq), text) << seq;

    o.NotLookedUp(15, 25);  // a file's packets
    EXPECT_EQ(At(o, kA, 20), "<none>");
    EXPECT_EQ(At(o, kA, 26), "first (1)");
    EXPECT_EQ(At(o, kA, 14), "<none>");
    EXPECT_EQ(At(o, kA, 11), "second (2)");
}

TEST(ProgramOwners, ManyEndpointsStayFoundAndAreCapped)
{
    ProgramOwners o;
    const std::size_t n = ProgramOwners::kMaxEndpoints + 10;
    for (std::size_t i = 0; i < n; ++i)
        o.Note(SocketEndpoint{SocketEndpoint::kTcp, static_cast<std::uint32_t>(i / 1000), static_cast<std::uint16_t>(i % 1000)}.Key(),
               static_cast<std::int64_t>(i + 1));
    EXPECT_EQ(o.EndpointCount(), ProgramOwners::kMaxEndpoints);
    // Batches of at most kMaxBatch, in the order of the endpoints' first packets.
    std::size_t asked = 0;
    while (o.HasPending()) {
        const std::vector<OwnerRequest> batch = o.TakeBatch();
        ASSERT_LE(batch.size(), ProgramOwners::kMaxBatch);
        std::vector<OwnerAnswer> answers;
        for (const OwnerRequest& r : batch) {
            EXPECT_EQ(r.fromSeq, static_cast<std::int64_t>(++asked));
            answers.push_back({r.key, r.fromSeq, OwnerAnswer::Owner, "p (" + std::to_string(r.fromSeq % 1000) + ")"});
        }
        o.Apply(answers);
        EXPECT_EQ(o.AnsweredThrough(), static_cast<std::int64_t>(asked));
    }
    EXPECT_EQ(asked, ProgramOwners::kMaxEndpoints);
    for (std::size_t i : {std::size_t{0}, std::size_t{777}, ProgramOwners::kMaxEndpoints - 1}) {
        const auto key = SocketEndpoint{SocketEndpoint::kTcp, static_cast<std::uint32_t>(i / 1000),
                                        static_cast<std::uint16_t>(i % 1000)}
                             .Key();
        EXPECT_EQ(At(o, key, static_cast<std::int64_t>(i + 1)), QString("p (%1)").arg((i + 1) % 1000)) << i;
    }
    const auto beyond = SocketEndpoint{SocketEndpoint::kTcp, static_cast<std::uint32_t>((n - 1) / 1000),
                                       static_cast<std::uint16_t>((n - 1) % 1000)}
                            .Key();
    EXPECT_EQ(At(o, beyond, static_cast<std::int64_t>(n)), "<none>");
}

}  // namespace
