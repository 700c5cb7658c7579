#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace quillet {

// Which processes hold sockets, by the sockets' inodes: one walk over
// procRoot/PID/fd, whose links read "socket:[inode]", stopping once every
// inode is found. The name is procRoot/PID/comm (at most 15 characters). A
// process whose descriptors cannot be read (another user's, without the
// right to look) or that ends during the walk is passed over. When several
// processes hold a socket, the first one met is taken.
struct SocketOwner {
    int pid = 0;
    std::string name;

    // "name (pid)"
    std::string Text() const { return name + " (" + std::to_string(pid) + ")"; }
};

std::unordered_map<std::uint64_t, SocketOwner> FindSocketOwners(const std::unordered_set<std::uint64_t>& inodes,
                                                                const std::string& procRoot = "/proc",
                                                                const std::atomic<bool>* stop = nullptr);

// The inode of a descriptor link text "socket:[N]", 0 when it is no socket.
std::uint64_t SocketInodeOfLink(std::string_view link);

}  // namespace quillet
