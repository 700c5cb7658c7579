#pragma once

// What holds the capture program (quillet-capture) to its one job once its
// capture is open: the system calls its loop may make, the channel it must
// have been given, and how many of it one user may run at once.

#include <string>
#include <vector>

#include <linux/filter.h>
#include <sys/types.h>

namespace quillet {

// The loop's system call filter, a classic BPF program for seccomp. It lets
// through what the loop needs and nothing else:
//   - receiving and waiting on any descriptor the program holds (read,
//     pread64, recvfrom, recvmsg, poll, ppoll), and reading socket figures
//     (getsockopt, getsockname, the ioctls SIOCGIFFLAGS and SIOCGIFINDEX the
//     capture library asks about a failing interface with);
//   - sending (sendto, sendmsg, write, writev) on channelFd alone;
//   - memory without execution (brk, mmap, mprotect, mremap, munmap,
//     madvise), clocks, futex, closing descriptors, signal return and
//     stack, exit.
// A write or writev to descriptor 2 fails with EPERM, so that a diagnostic
// printed on the way out never kills; anything else, a send on the packet
// socket, socket(), an open, exec among them, kills the process
// (SECCOMP_RET_KILL_PROCESS), as does a call of another architecture or ABI.
// Killing rather than refusing: a loop that asks for more than it ever needs
// is broken or taken over, and must not go on probing; the window sees it
// end and says so.
std::vector<sock_filter> HelperSyscallFilter(int channelFd);

// Installs that filter on the calling thread (with PR_SET_NO_NEW_PRIVS);
// false, with errno set, when the system refused.
bool InstallHelperFilter(int channelFd);

// Empty when fd is a Unix stream socket, else what it is instead.
std::string StreamChannelProblem(int fd);

// At most this many capture programs per user at once: each holds a kernel
// ring outside any memory limit of the user's.
inline constexpr int kMostHelpersPerUser = 4;

// The live processes (zombies not included) of that real user whose name is
// name, from procDir (normally "/proc"). Counted by each program after it
// started: of any number starting together, the last to count sees all the
// others, so no more than kMostHelpersPerUser ever pass.
int CountProcessesNamed(const std::string& procDir, uid_t uid, const std::string& name);

}  // namespace quillet
