#include "programs/SocketOwners.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

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

// The process's name, read from its own directory; false when it cannot be read.
bool ReadName(int pidFd, std::string& name)
{
    const int fd = openat(pidFd, "comm", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n < 0)
        return false;
    name.assign(buffer, static_cast<std::size_t>(n));
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return true;
}

// Whether the descriptors of the process directory pidFd hold one of inodes
// (all of them when inodes is null and only `one` is asked); the first found goes to found.
bool FindIn(int pidFd, const std::unordered_set<std::uint64_t>* inodes, std::uint64_t one,
            const std::unordered_map<std::uint64_t, SocketOwner>* skip, std::vector<std::uint64_t>& found)
{
    const int fdDirFd = openat(pidFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDirFd < 0)
        return false;  // gone, or not ours to read
    DirCloser fds{fdopendir(fdDirFd)};
    if (!fds.dir) {
        close(fdDirFd);
        return false;
    }
    while (const dirent* fd = readdir(fds.dir)) {
        if (!IsNumber(fd->d_name))
            continue;
        char link[64];
        const ssize_t n = readlinkat(fdDirFd, fd->d_name, link, sizeof link);
        if (n <= 0 || n >= static_cast<ssize_t>(sizeof link))
            continue;
        const std::uint64_t inode = SocketInodeOfLink(std::string_view(link, static_cast<std::size_t>(n)));
        if (inode == 0 || (inodes ? !inodes->count(inode) || skip->count(inode) : inode != one))
            continue;
        found.push_back(inode);
        if (!inodes)
            return true;
    }
    return !found.empty();
}

void AppendEscape(std::string& out, const char* format, unsigned value)
{
    char text[12];
    std::snprintf(text, sizeof text, format, value);
    out += text;
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

std::string ShownName(std::string_view name)
{
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const std::size_t size = name.size();
    for (std::size_t i = 0; i < size;) {
        const unsigned c = p[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F)
                AppendEscape(out, "\\x%02x", c);
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // One UTF-8 sequence, checked; anything else is shown byte by byte.
        const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        unsigned code = length == 4 ? c & 0x07 : length == 3 ? c & 0x0F : c & 0x1F;
        bool valid = length != 0 && i + length <= size;
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (p[i + k] & 0xC0) == 0x80;
            code = code << 6 | (p[i + k] & 0x3F);
        }
        valid = valid && !(length == 3 && code < 0x800) && !(length == 4 && (code < 0x10000 || code > 0x10FFFF))
                && !(code >= 0xD800 && code <= 0xDFFF);
        if (!valid) {
            AppendEscape(out, "\\x%02x", c);
            ++i;
            continue;
        }
        const bool hidden = code <= 0x9F                                 // C1 controls
                            || code == 0x061C || code == 0x200E || code == 0x200F  // marks
                            || (code >= 0x202A && code <= 0x202E)        // embeddings, overrides
                            || (code >= 0x2066 && code <= 0x2069);       // isolates
        if (hidden)
            AppendEscape(out, "\\u%04x", code);
        else
            out.append(name.substr(i, length));
        i += length;
    }
    return out;
}

std::string SocketOwner::Text() const
{
    const std::string shown = ShownName(name);
    return (shown.empty() ? std::string() : shown + " ") + "(" + std::to_string(pid) + ")";
}

std::string ProcessName(int pid, const std::string& procRoot)
{
    const std::string dir = procRoot + "/" + std::to_string(pid);
    const int pidFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string name;
    if (pidFd >= 0) {
        if (!ReadName(pidFd, name))
            name.clear();
        close(pidFd);
    }
    return name;
}

bool HoldsSocket(int pid, std::uint64_t inode, const std::string& name, const std::string& procRoot)
{
    const std::string dir = procRoot + "/" + std::to_string(pid);
    const int pidFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pidFd < 0)
        return false;
    std::vector<std::uint64_t> found;
    std::string now;
    const bool holds = FindIn(pidFd, nullptr, inode, nullptr, found) && ReadName(pidFd, now) && now == name;
    close(pidFd);
    return holds;
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
    std::vector<std::uint64_t> found;
    while (const dirent* process = readdir(proc.dir)) {
        if (owners.size() == inodes.size() || (stop && stop->load(std::memory_order_relaxed)))
            break;
        if (!IsNumber(process->d_name))
            continue;
        const int pidFd = openat(procFd, process->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (pidFd < 0)
            continue;
        found.clear();
        std::string name;
        if (FindIn(pidFd, &inodes, 0, &owners, found) && ReadName(pidFd, name))  // else ended meanwhile
            for (std::uint64_t inode : found)
                owners[inode] = {std::atoi(process->d_name), name};
        close(pidFd);
    }
    return owners;
}

}  // namespace quillet
