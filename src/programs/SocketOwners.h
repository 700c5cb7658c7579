#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace quillet {

// Which processes hold sockets, by the sockets' inodes: one walk over
// procRoot/PID/fd, whose links read "socket:[inode]", stopping once every
// inode is found. The name is procRoot/PID/comm (at most 15 characters). A
// process whose descriptors cannot be read (another user's, without the
// right to look) or that ends during the walk is passed over. When several
// processes hold a socket, the first one met is taken. Descriptors and name
// are both read through the descriptor of the process's own directory, so a
// pid reused meanwhile cannot lend another program's name.
struct SocketOwner {
    int pid = 0;
    std::string name;

    // "name (pid)", or "(pid)" for an empty name; see ShownName.
    std::string Text() const;
};

// A process name as shown: control characters, bytes that are no UTF-8 and
// the characters that reorder text (bidirectional overrides, isolates, marks)
// are written as escapes (\x1b, \u202e); the rest as it is.
std::string ShownName(std::string_view name);

// The name (comm) of procRoot/pid, empty when it cannot be read.
std::string ProcessName(int pid, const std::string& procRoot = "/proc");

// Whether procRoot/pid still holds the socket inode and is still called name.
bool HoldsSocket(int pid, std::uint64_t inode, const std::string& name, const std::string& procRoot = "/proc");

std::unordered_map<std::uint64_t, SocketOwner> FindSocketOwners(const std::unordered_set<std::uint64_t>& inodes,
                                                                const std::string& procRoot = "/proc",
                                                                const std::atomic<bool>* stop = nullptr);

// The inode of a descriptor link text "socket:[N]", 0 when it is no socket.
std::uint64_t SocketInodeOfLink(std::string_view link);

}  // namespace quillet
