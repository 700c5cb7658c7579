// Needs root, in a private network namespace.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture/HelperConfinement.h"
#include "support/Netns.h"

using namespace quillet;

namespace {

// What became of the child's one call.
enum class Outcome { Done, Refused, Killed, Faulted, Otherwise };
const char* Name(Outcome o)
{
    static const char* const names[] = {"done", "refused with EPERM", "killed", "faulted", "otherwise"};
    return names[static_cast<int>(o)];
}

struct Held {
    int channel = 3;
    int packet = -1;  // bound to the namespace's loopback
    int wake = -1;    // an eventfd
};

// Runs call in a child that holds what the capture program holds, confined
// as it is; call returns 0 when the system did what it asked, else errno.
Outcome Confined(const std::function<int(const Held&)>& call, std::string& detail)
{
    const pid_t pid = fork();
    if (pid == 0) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0 || dup2(pair[0], 3) != 3)
            _exit(100);
        Held held;
        held.packet = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
        held.wake = eventfd(0, EFD_NONBLOCK);
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_ALL);
        at.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (held.packet < 0 || held.wake < 0 || bind(held.packet, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
            _exit(101);
        if (!InstallHelperFilter(3))
            _exit(102);
        const int error = call(held);
        _exit(error == 0 ? 0 : error == EPERM ? 1 : 110 + (error & 0x7F));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) {
        detail = "signal " + std::to_string(WTERMSIG(status));
        return WTERMSIG(status) == SIGSYS ? Outcome::Killed : WTERMSIG(status) == SIGSEGV ? Outcome::Faulted : Outcome::Otherwise;
    }
    detail = "exit " + std::to_string(WEXITSTATUS(status));
    return WEXITSTATUS(status) == 0 ? Outcome::Done : WEXITSTATUS(status) == 1 ? Outcome::Refused : Outcome::Otherwise;
}

int Result(long r)
{
    return r >= 0 ? 0 : (errno == 0 ? -1 : errno);
}

// Errors the system gives for a call that ran (no data waiting) count as done.
int RanOrWouldBlock(long r)
{
    return r >= 0 || errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
}

#if defined(__x86_64__)
long I386Getpid()
{
    long r = 20;  // getpid there
    asm volatile("int $0x80" : "+a"(r) : : "memory");
    return r;
}

// A kernel may run without the i386 ABI (ia32_emulation=0): a call of it then
// faults before any filter sees it, which keeps the helper as safe as a kill.
bool I386Runs()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(I386Getpid() > 0 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

}  // namespace

TEST(HelperConfinement, TheLoopKeepsWhatItNeedsAndLosesEverythingElse)
{
    quillet::testsupport::PrivateNetns net;
    ASSERT_EQ(quillet::testsupport::Shell("ip link set lo up"), 0);
    static const std::uint8_t frame[64] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0, 1, 0x08, 0x00};
    struct Case {
        const char* what;
        std::function<int(const Held&)> call;
        Outcome expected;
    };
    const Case cases[] = {
        // What the loop does.
        {"send on the channel", [](const Held& h) { return Result(send(h.channel, "x", 1, MSG_DONTWAIT)); }, Outcome::Done},
        {"recv on the channel", [](const Held& h) { char b[8]; return RanOrWouldBlock(recv(h.channel, b, sizeof b, MSG_DONTWAIT)); },
         Outcome::Done},
        {"read on the wake-up descriptor",
         [](const Held& h) { std::uint64_t v; return RanOrWouldBlock(read(h.wake, &v, sizeof v)); }, Outcome::Done},
        {"poll", [](const Held& h) { pollfd p[2] = {{h.channel, POLLIN, 0}, {h.packet, POLLIN, 0}}; return Result(poll(p, 2, 0)); },
         Outcome::Done},
        {"the kernel's counts",
         [](const Held& h) {
             tpacket_stats st{};
             socklen_t len = sizeof st;
             return Result(getsockopt(h.packet, SOL_PACKET, PACKET_STATISTICS, &st, &len));
         },
         Outcome::Done},
        {"a diagnostic on stderr", [](const Held&) { return Result(write(2, "", 0)); }, Outcome::Refused},
        // What it must never do.
        {"sendto on the packet socket", [](const Held& h) { return Result(send(h.packet, frame, sizeof frame, 0)); }, Outcome::Killed},
        {"write on the packet socket", [](const Held& h) { return Result(write(h.packet, frame, sizeof frame)); }, Outcome::Killed},
        {"a new socket", [](const Held&) { return Result(socket(AF_INET, SOCK_DGRAM, 0)); }, Outcome::Killed},
        {"opening a file", [](const Held&) { return Result(open("/etc/hostname", O_RDONLY)); }, Outcome::Killed},
        {"exec", [](const Held&) { char* argv[] = {const_cast<char*>("/bin/true"), nullptr}; return Result(execv("/bin/true", argv)); },
         Outcome::Killed},
        {"executable memory",
         [](const Held&) { return mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED ? errno : 0; },
         Outcome::Killed},
#if defined(__x86_64__)
        {"a call of the x32 ABI", [](const Held&) { return Result(syscall(0x40000000L | SYS_getpid)); }, Outcome::Killed},
        {"a call of the i386 ABI",
         [](const Held&) {
             const long r = I386Getpid();
             return r > 0 ? 0 : static_cast<int>(-r);
         },
         I386Runs() ? Outcome::Killed : Outcome::Faulted},
#endif
    };
    for (const Case& c : cases) {
        std::string detail;
        EXPECT_EQ(Name(Confined(c.call, detail)), std::string(Name(c.expected))) << c.what << " (" << detail << ")";
    }
}
