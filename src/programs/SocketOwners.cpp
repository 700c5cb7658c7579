#include "programs/SocketOwners.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace quillet {

namespace {

bool IsNumber(const char* s)
{
    if (*s == '\0')
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

struct DirCloser {
    DIR* dir;
    ~DirCloser()
    {
        if (dir)
            closedir(dir);
    }
};

std::string ReadName(int procFd, const char* pid)
{
    const std::string path = std::string(pid) + "/comm";
    const int fd = openat(procFd, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n <= 0)
        return {};
    std::string name(buffer, static_cast<std::size_t>(n));
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0'))
        name.pop_back();
    return name;
}

}  // namespace

std::uint64_t SocketInodeOfLink(std::string_view link)
{
    constexpr std::string_view kPrefix = "socket:[";
    if (link.size() <= kPrefix.size() + 1 || link.substr(0, kPrefix.size()) != kPrefix || link.back() != ']')
        return 0;
    std::uint64_t inode = 0;
    for (char c : link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1)) {
        if (c < '0' || c > '9' || inode > (UINT64_MAX - 9) / 10)
            return 0;
        inode = inode * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return inode;
}

std::unordered_map<std::uint64_t, SocketOwner> FindSocketOwners(const std::unordered_set<std::uint64_t>& inodes,
                                                                const std::string& procRoot,
                                                                const std::atomic<bool>* stop)
{
    std::unordered_map<std::uint64_t, SocketOwner> owners;
    if (inodes.empty())
        return owners;
    DirCloser proc{opendir(procRoot.c_str())};
    if (!proc.dir)
        return owners;
    const int procFd = dirfd(proc.dir);
    while (const dirent* process = readdir(proc.dir)) {
        if (owners.size() == inodes.size() || (stop && stop->load(std::memory_order_relaxed)))
            break;
        if (!IsNumber(process->d_name))
            continue;
        const std::string fdPath = std::string(process->d_name) + "/fd";
        const int fdDirFd = openat(procFd, fdPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDirFd < 0)
            continue;  // gone, or not ours to read
        DirCloser fds{fdopendir(fdDirFd)};
        if (!fds.dir) {
            close(fdDirFd);
            continue;
        }
        std::string name;
        while (const dirent* fd = readdir(fds.dir)) {
            if (!IsNumber(fd->d_name))
                continue;
            char link[64];
            const ssize_t n = readlinkat(fdDirFd, fd->d_name, link, sizeof link);
            if (n <= 0 || n >= static_cast<ssize_t>(sizeof link))
                continue;
            const std::uint64_t inode = SocketInodeOfLink(std::string_view(link, static_cast<std::size_t>(n)));
            if (inode == 0 || !inodes.count(inode) || owners.count(inode))
                continue;
            if (name.empty())
                name = ReadName(procFd, process->d_name);
            if (name.empty())
                break;  // ended meanwhile
            owners[inode] = {std::atoi(process->d_name), name};
        }
    }
    return owners;
}

}  // namespace quillet
