#pragma once

// The stream between the capture program (quillet-capture) and the window
// that started it: a Unix stream socket on the program's descriptor 3.
//
// The program sends records, each an 8-byte head (kind, body length) and its
// body, in the host's byte order (both ends share the machine). Frames do not
// go through the socket: they are records in a shared ring (FrameRing.h),
// handed over first by kRing; the socket carries the rest, and kWake when the
// ring has frames for a window that said it waits for them. Nobody makes a
// system call per packet.
//
// The window sends WindowWord's: how far it has read the ring, whether it
// now waits to be woken, and kDrain, which asks for what the kernel still
// held at the stop, answered by those frames, a kStats record and kDrained.
// Closing the window's end ends the program. The channel must be a stream:
// the program refuses any other socket.

#include <cstdint>

namespace quillet::channel {

inline constexpr const char* kProgramName = "quillet-capture";
inline constexpr int kFd = 3;

// The program sends its counters (kStats) this often, changed or not; a
// program that has sent nothing for kSilentMs does not answer.
inline constexpr int kStatsEveryMs = 250;
inline constexpr int kSilentMs = 2000;
static_assert(kStatsEveryMs <= 1000 && 4 * kStatsEveryMs <= kSilentMs);

// The program's third argument, the families it captures: IPv4 alone, or
// IPv4 and IPv6.
inline constexpr const char* kFamiliesIPv4 = "4";
inline constexpr const char* kFamiliesBoth = "46";

enum Kind : std::uint32_t {
    kOpened = 1,     // body: the frames' libpcap link type, int32
    kFailed = 2,     // body: the message (first line the system's word, then why); the program ends
    kFrame = 3,      // body: FrameHead, then the captured bytes
    kStats = 4,      // body: StatsBody
    kReadError = 5,  // body: why a read failed, in the capture library's words
    kDrained = 6,    // no body: the drain asked for is complete
    kRing = 7,       // body: RingBody; the ring's memory file comes with it (SCM_RIGHTS)
    kWake = 8,       // no body: the ring holds frames past what the window said it read
    kSkip = 9,       // in the ring only: the rest of the data area is unused
    kOwner = 10,     // body: OwnerBody, who holds a local endpoint from a time on
    kOwners = 11,    // body: OwnersBody, whether the kernel tells owners, and events lost
};

struct Head {
    std::uint32_t kind;
    std::uint32_t length;  // of the body
};

struct FrameHead {
    std::int64_t timestampUs;
    std::uint32_t wireLength;
    std::uint32_t reserved;
};

struct StatsBody {
    std::uint64_t received;
    std::uint64_t dropped;
    std::uint64_t ifDropped;
};

// From fromUs (the frames' clock) on, the process pid holds the local
// endpoint (protocol, address, port; an address of zeros: every address of
// the machine); pid 0: no process any more. The name may be empty, is at
// most 15 bytes and is anything a process called itself.
struct OwnerBody {
    std::int64_t fromUs;
    std::uint32_t pid;
    std::uint32_t uid;
    std::uint8_t protocol;
    std::uint8_t v6;
    std::uint16_t port;
    std::uint8_t address[16];
    char name[16];
};

enum OwnersState : std::uint32_t {
    kOwnersTold = 0,       // the kernel tells the owners of new sockets
    kOwnersLookUpOnly = 1, // its programs could not be loaded: owners come from look-ups alone
};

struct OwnersBody {
    std::uint32_t state;   // OwnersState
    std::uint32_t reserved;
    std::uint64_t lost;    // events the kernel had no room for, so far
};

struct RingBody {
    std::uint64_t dataBytes;
};

// A body longer than this means a broken stream or ring (a frame is at most
// 64 KiB and its head).
inline constexpr std::uint32_t kMaxBody = 1u << 17;

struct WindowWord {
    std::uint64_t position;  // of the ring, read up to here
    std::uint32_t what;      // WordFlags
    std::uint32_t reserved;
};

enum WordFlags : std::uint32_t {
    kWaiting = 1,  // read all there was: send kWake when there is more
    kDrain = 2,    // the capture stops: send what the kernel still holds
};

}  // namespace quillet::channel
