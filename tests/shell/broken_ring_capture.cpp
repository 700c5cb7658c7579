// A capture program that breaks its ring: it hands the window a ring holding
// one good frame and then the fault numbered in the file ring-fault beside
// it (an index of kRingFaults), says the capture is open, and wakes the
// window every 200 ms until the window ends it. For the window's refusal of a broken
// ring; it captures nothing.
#include <fstream>
#include <string>
#include <vector>

#include <net/ethernet.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "capture/BrokenRings.h"
#include "shell/Datagrams.h"

namespace ch = quillet::channel;

namespace {

bool Send(ch::Kind kind, const void* body, std::uint32_t length, int passFd = -1)
{
    std::vector<std::uint8_t> record(sizeof(ch::Head) + length);
    const ch::Head head{kind, length};
    std::memcpy(record.data(), &head, sizeof head);
    if (length > 0)
        std::memcpy(record.data() + sizeof head, body, length);
    iovec iov{record.data(), record.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passFd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &passFd, sizeof passFd);
    }
    return sendmsg(ch::kFd, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(record.size());
}

}  // namespace

int main()
{
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;
    std::string dir = self;
    dir.resize(dir.rfind('/') + 1);
    std::size_t fault = 0;
    if (!(std::ifstream(dir + "ring-fault") >> fault) || fault >= std::size(quillet::test::kRingFaults))
        return 2;

    constexpr std::size_t kData = quillet::test::kRingDataBytes;
    const int ring = memfd_create("quillet-frames", MFD_CLOEXEC);
    if (ring < 0 || ftruncate(ring, static_cast<off_t>(quillet::test::kRingHeaderBytes + kData)) != 0)
        return 3;
    void* at = mmap(nullptr, quillet::test::kRingHeaderBytes + kData, PROT_READ | PROT_WRITE, MAP_SHARED, ring, 0);
    if (at == MAP_FAILED)
        return 4;
    // An Ethernet frame of a datagram from the peer.
    std::vector<std::uint8_t> frame(14, 0);
    frame[12] = ETHERTYPE_IP >> 8;
    frame[13] = ETHERTYPE_IP & 0xFF;
    const auto datagram = quillet::test::Ipv4Udp("10.77.0.2", "10.77.0.1", 4000, 5000, "before the fault");
    frame.insert(frame.end(), datagram.begin(), datagram.end());
    quillet::test::WriteBrokenRing(static_cast<std::uint8_t*>(at), kData, quillet::test::kRingFaults[fault], frame);

    const ch::RingBody body{kData};
    const std::int32_t ethernet = 1;
    if (!Send(ch::kRing, &body, sizeof body, ring) || !Send(ch::kOpened, &ethernet, sizeof ethernet))
        return 5;
    // A wake every 200 ms, each its own read for the window, until it ends this program.
    for (;;) {
        pollfd p{ch::kFd, POLLIN, 0};
        const int ready = poll(&p, 1, 200);
        char word[64];
        if (ready > 0 && read(ch::kFd, word, sizeof word) <= 0)
            return 0;
        if (ready == 0 && !Send(ch::kWake, nullptr, 0))
            return 0;
    }
}
