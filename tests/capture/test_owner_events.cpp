// The kernel's events about sockets joined into the owners of local
// endpoints the capture program tells the window.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "capture/helper/OwnerEvents.h"
#include "capture/helper/bpf/OwnerEvent.h"

using namespace quillet;

namespace {

owner_event Event(std::uint8_t kind, std::uint64_t cookie, std::uint32_t tgid, std::uint16_t port = 0,
                  std::uint8_t lastByte = 1)
{
    owner_event e{};
    e.kind = kind;
    e.protocol = 17;
    e.tgid = tgid;
    e.cookie = cookie;
    e.time_ns = 1'000'000'000;
    e.local_port = port;
    if (port != 0) {
        e.local[0] = 10;
        e.local[3] = lastByte;
    }
    return e;
}

struct Told {
    std::vector<channel::OwnerBody> records;
    OwnerEvents::Send send = [this](const channel::OwnerBody& b) { records.push_back(b); };
    // The records that say nobody holds an endpoint from then on.
    std::size_t Released() const
    {
        std::size_t n = 0;
        for (const channel::OwnerBody& b : records)
            n += b.pid == 0 ? 1 : 0;
        return n;
    }
};

void Take(OwnerEvents& events, const owner_event& e, Told& told)
{
    events.Take(&e, sizeof e, told.send);
}

// A socket used in turn by two processes (handed on through fork) keeps its
// endpoint once: a second endpoint it takes later is told released with
// the first when it closes.
TEST(OwnerEvents, ASocketUsedByTurnsKeepsEachEndpointOnce)
{
    OwnerEvents events;
    Told told;
    Take(events, Event(OWNER_CREATED, 7, 100), told);
    Take(events, Event(OWNER_USED, 7, 100, 5000), told);
    for (int turn = 0; turn < 20; ++turn)
        Take(events, Event(OWNER_USED, 7, turn % 2 == 0 ? 101 : 100, 5000), told);
    Take(events, Event(OWNER_USED, 7, 100, 6000, 2), told);  // the socket's other endpoint
    told.records.clear();
    Take(events, Event(OWNER_CLOSED, 7, 100), told);
    ASSERT_EQ(told.records.size(), 2u);
    EXPECT_EQ(told.Released(), 2u);
    EXPECT_EQ(told.records[0].port, 5000);
    EXPECT_EQ(told.records[1].port, 6000);
}

// Sockets made before the capture and bound or connected during it are
// kept within the bound too: their releases tell no more of them than it.
TEST(OwnerEvents, SocketsMadeBeforeTheCaptureAreKeptWithinTheBound)
{
    OwnerEvents events;
    Told told;
    constexpr std::uint64_t kSockets = OwnerEvents::kMaxSockets + 1000;
    for (std::uint64_t cookie = 1; cookie <= kSockets; ++cookie)
        Take(events, Event(OWNER_BOUND, cookie, 100, 5000), told);
    told.records.clear();
    for (std::uint64_t cookie = 1; cookie <= kSockets; ++cookie)
        Take(events, Event(OWNER_CLOSED, cookie, 100), told);
    EXPECT_EQ(told.Released(), OwnerEvents::kMaxSockets);
}

}  // namespace
