#include "capture/HelperConfinement.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fstream>

#include <dirent.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

namespace quillet {

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "the capture program's system call filter knows x86-64 and AArch64 only"
#endif

constexpr std::uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t kKill = SECCOMP_RET_KILL_PROCESS;
constexpr std::uint32_t kRefuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);

// Where the low 32 bits of an argument are (descriptors, prot and ioctl
// requests are 32-bit values in the kernel).
constexpr std::uint32_t ArgLow(int i)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * i);
#else
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * i + 4);
#endif
}

class Program {
public:
    void Load(std::uint32_t offset) { Add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset)); }
    void Return(std::uint32_t action) { Add(BPF_STMT(BPF_RET | BPF_K, action)); }
    // Jumps over the next `skip` instructions unless A == k.
    void UnlessEqualSkip(std::uint32_t k, std::uint8_t skip) { Add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k, 0, skip)); }
    // Returns action when A == k, else goes on.
    void IfEqualReturn(std::uint32_t k, std::uint32_t action)
    {
        UnlessEqualSkip(k, 1);
        Return(action);
    }

    // A system call allowed whatever its arguments.
    void Allow(long nr) { IfEqualReturn(static_cast<std::uint32_t>(nr), kAllow); }

    // A send allowed on the channel only; stderr (when refuseStderr) fails.
    void SendOnlyOn(long nr, int channelFd, bool refuseStderr)
    {
        UnlessEqualSkip(static_cast<std::uint32_t>(nr), refuseStderr ? 6 : 4);
        Load(ArgLow(0));
        IfEqualReturn(static_cast<std::uint32_t>(channelFd), kAllow);
        if (refuseStderr)
            IfEqualReturn(2, kRefuse);
        Return(kKill);
    }

    // Memory calls allowed without PROT_EXEC in their third argument.
    void AllowWithoutExec(long nr)
    {
        UnlessEqualSkip(static_cast<std::uint32_t>(nr), 4);
        Load(ArgLow(2));
        Add(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, PROT_EXEC, 0, 1));
        Return(kKill);
        Return(kAllow);
    }

    // ioctl with one of two requests only.
    void IoctlOnly(std::uint32_t a, std::uint32_t b)
    {
        UnlessEqualSkip(static_cast<std::uint32_t>(SYS_ioctl), 6);
        Load(ArgLow(1));
        IfEqualReturn(a, kAllow);
        IfEqualReturn(b, kAllow);
        Return(kKill);
    }

    void Add(sock_filter f) { code_.push_back(f); }
    std::vector<sock_filter> Take() { return std::move(code_); }

private:
    std::vector<sock_filter> code_;
};

}  // namespace

std::vector<sock_filter> HelperSyscallFilter(int channelFd)
{
    Program p;
    p.Load(offsetof(seccomp_data, arch));
    p.UnlessEqualSkip(kArch, 1);
    p.Add(BPF_STMT(BPF_JMP | BPF_JA, 1));
    p.Return(kKill);
    p.Load(offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    // The x32 ABI shares the architecture value: its calls carry this bit.
    p.Add(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1));
    p.Return(kKill);
#endif
    // Receiving and waiting.
    for (long nr : {SYS_read, SYS_pread64, SYS_recvfrom, SYS_recvmsg, SYS_ppoll})
        p.Allow(nr);
#ifdef SYS_poll
    p.Allow(SYS_poll);
#endif
    // Socket figures: the kernel's counts, a pending error, the address.
    p.Allow(SYS_getsockopt);
    p.Allow(SYS_getsockname);
    p.IoctlOnly(SIOCGIFFLAGS, SIOCGIFINDEX);
    // Sending: the channel only.
    p.SendOnlyOn(SYS_sendto, channelFd, false);
    p.SendOnlyOn(SYS_sendmsg, channelFd, false);
    p.SendOnlyOn(SYS_write, channelFd, true);
    p.SendOnlyOn(SYS_writev, channelFd, true);
    // Memory, never executable.
    for (long nr : {SYS_brk, SYS_munmap, SYS_mremap, SYS_madvise})
        p.Allow(nr);
    p.AllowWithoutExec(SYS_mmap);
    p.AllowWithoutExec(SYS_mprotect);
    // The rest of a plain loop's life; the sanitizers' run-time, when built
    // in, sets its signal stack on the way out.
    for (long nr : {SYS_clock_gettime, SYS_gettimeofday, SYS_futex, SYS_close, SYS_rt_sigreturn, SYS_restart_syscall,
                    SYS_sigaltstack, SYS_exit, SYS_exit_group})
        p.Allow(nr);
    p.Return(kKill);
    return p.Take();
}

bool InstallHelperFilter(int channelFd)
{
    std::vector<sock_filter> code = HelperSyscallFilter(channelFd);
    sock_fprog prog{static_cast<unsigned short>(code.size()), code.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0;
}

std::string StreamChannelProblem(int fd)
{
    int domain = -1, type = -1;
    socklen_t dl = sizeof domain, tl = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &dl) != 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) != 0)
        return "not a socket";
    if (domain != AF_UNIX)
        return "a socket of family " + std::to_string(domain) + ", not AF_UNIX";
    if (type != SOCK_STREAM)
        return type == SOCK_DGRAM ? "a datagram socket (SOCK_DGRAM)"
               : type == SOCK_SEQPACKET ? "a packet socket (SOCK_SEQPACKET)"
                                        : "a socket of type " + std::to_string(type);
    return {};
}

int CountProcessesNamed(const std::string& procDir, uid_t uid, const std::string& name)
{
    DIR* d = opendir(procDir.c_str());
    if (d == nullptr)
        return 0;
    int count = 0;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        std::ifstream status(procDir + "/" + e->d_name + "/status");
        std::string line;
        bool named = false, alive = true, own = false;
        while (std::getline(status, line)) {
            if (line.rfind("Name:\t", 0) == 0)
                named = line.substr(6) == name;
            else if (line.rfind("State:\t", 0) == 0)
                alive = line.size() > 7 && line[7] != 'Z' && line[7] != 'X';
            else if (line.rfind("Uid:\t", 0) == 0)
                own = std::strtoul(line.c_str() + 5, nullptr, 10) == uid;
        }
        if (named && alive && own)
            ++count;
    }
    closedir(d);
    return count;
}

}  // namespace quillet
