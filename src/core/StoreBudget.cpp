#include "core/StoreBudget.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstdlib>

#include <QCoreApplication>

namespace quillet {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(500);
constexpr std::uint64_t kWrittenBetweenChecks = std::uint64_t{16} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

std::string MiB(std::uint64_t bytes)
{
    return std::to_string((bytes + (1u << 19)) >> 20) + " MiB";
}

// Limits at or above this are "no limit" (v1 writes its largest page count).
constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 60;

// The first number of a file ("max" and unreadable files: no limit).
std::uint64_t ReadNumber(const std::string& path)
{
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word.empty() || word[0] < '0' || word[0] > '9')
        return kNoLimit;
    const unsigned long long v = std::strtoull(word.c_str(), nullptr, 10);
    return v >= kNoLimit ? kNoLimit : v;
}

// A field of a memory.stat file, 0 when absent.
std::uint64_t StatField(const std::string& path, const std::string& name)
{
    std::ifstream in(path);
    std::string key;
    unsigned long long value = 0;
    while (in >> key >> value)
        if (key == name)
            return value;
    return 0;
}

struct Hierarchy {
    std::string mountPoint;  // empty: not mounted
    std::string root;        // the mount's root within the hierarchy
    std::string group;       // this process's group, from /proc/self/cgroup
};

// The v1 memory hierarchy (v2 == false) or the unified one.
Hierarchy FindHierarchy(bool v2)
{
    Hierarchy h;
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
        const auto a = line.find(':');
        const auto b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
        if (v2 ? line.compare(0, b + 1, "0::") == 0 : controllers.find(",memory,") != std::string::npos)
            h.group = line.substr(b + 1);
    }
    if (h.group.empty())
        return h;
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, word;
        fields >> id >> parent >> device >> root >> point;
        while (fields >> word && word != "-") {
        }
        std::string type, source, options;
        fields >> type >> source >> options;
        if (v2 ? type != "cgroup2" : type != "cgroup" || ("," + options + ",").find(",memory,") == std::string::npos)
            continue;
        h.mountPoint = point;
        h.root = root == "/" ? std::string() : root;
        break;
    }
    return h;
}

// The lowest limit of the group and its parents, and what is in use where it applies.
StoreBudget::Group GroupOf(const Hierarchy& h, bool v2)
{
    StoreBudget::Group best;
    if (h.mountPoint.empty())
        return best;
    std::string rel = h.group;
    if (!h.root.empty() && rel.compare(0, h.root.size(), h.root) == 0)
        rel = rel.substr(h.root.size());
    while (!rel.empty() && rel.back() == '/')
        rel.pop_back();
    for (;;) {
        const std::string dir = h.mountPoint + rel + "/";
        const std::uint64_t limit = v2 ? std::min(ReadNumber(dir + "memory.max"), ReadNumber(dir + "memory.high"))
                                       : ReadNumber(dir + "memory.limit_in_bytes");
        if (limit < kNoLimit && (best.limit == 0 || limit < best.limit)) {
            const std::uint64_t usage = ReadNumber(dir + (v2 ? "memory.current" : "memory.usage_in_bytes"));
            const std::uint64_t droppable =
                StatField(dir + "memory.stat", v2 ? "inactive_file" : "total_inactive_file");
            best.limit = limit;
            best.used = usage >= kNoLimit ? 0 : usage - std::min(usage, droppable);
        }
        if (rel.empty())
            break;
        const auto slash = rel.rfind('/');
        rel.erase(slash == std::string::npos ? 0 : slash);
    }
    return best;
}

}  // namespace

std::function<StoreBudget::Group()> StoreBudget::GroupMemoryReader()
{
    return [v1 = FindHierarchy(false), v2 = FindHierarchy(true)] {
        Group group = GroupOf(v1, false);
        const Group unified = GroupOf(v2, true);
        if (unified.limit != 0 && (group.limit == 0 || unified.limit < group.limit))
            group = unified;
        return group;
    };
}

StoreBudget::StoreBudget(std::uint64_t memoryLimitBytes, std::uint64_t diskReserveBytes)
    : residentBytes(ReadResidentBytes), freeSpace(ReadFreeSpace), groupMemory(GroupMemoryReader()),
      memoryLimit_(memoryLimitBytes ? memoryLimitBytes : PhysicalMemory() / 2), diskReserve_(diskReserveBytes)
{
}

std::uint64_t StoreBudget::PhysicalMemory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? std::uint64_t(pages) * std::uint64_t(size) : std::uint64_t{8} * kGiB;
}

std::uint64_t StoreBudget::ReadResidentBytes()
{
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    unsigned long long size = 0, resident = 0;
    const int n = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    return n == 2 ? resident * std::uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

bool StoreBudget::ReadFreeSpace(const std::string& directory, Space& space)
{
    struct statvfs s {};
    if (::statvfs(directory.c_str(), &s) != 0)
        return false;
    space.total = std::uint64_t(s.f_blocks) * s.f_frsize;
    space.available = std::uint64_t(s.f_bavail) * s.f_frsize;
    return true;
}

std::uint64_t StoreBudget::ReserveFor(std::uint64_t fileSystemBytes) const
{
    return diskReserve_ ? diskReserve_ : std::min(kGiB, fileSystemBytes / 20);
}

std::string StoreBudget::Check(Clock::time_point now, std::uint64_t spoolBytes, const std::string& directory)
{
    if (now >= nextMemoryCheck_) {
        nextMemoryCheck_ = now + kInterval;
        const std::uint64_t resident = (residentBytes ? residentBytes() : 0) + outsideBytes;
        if (resident >= memoryLimit_)
            return QCoreApplication::translate("StoreBudget", "程序的内存用量已达上限 %1")
                .arg(QString::fromStdString(MiB(memoryLimit_)))
                .toStdString();
        const Group group = groupMemory ? groupMemory() : Group{};
        const auto share = static_cast<std::uint64_t>(static_cast<double>(group.limit) * kGroupShare);
        if (group.limit != 0 && group.used >= share)
            return QCoreApplication::translate("StoreBudget", "程序的内存用量已达上限 %1（其控制组内存上限 %2 的 %3%）")
                .arg(QString::fromStdString(MiB(share)), QString::fromStdString(MiB(group.limit)))
                .arg(static_cast<int>(kGroupShare * 100))
                .toStdString();
    }
    const bool written = !spaceChecked_ || spoolBytes - spaceCheckedAt_ >= kWrittenBetweenChecks;
    if (!directory.empty() && (now >= nextSpaceCheck_ || written)) {
        nextSpaceCheck_ = now + kInterval;
        spaceCheckedAt_ = spoolBytes;
        spaceChecked_ = true;
        Space space;
        if (freeSpace && freeSpace(directory, space) && space.available < ReserveFor(space.total))
            return QCoreApplication::translate("StoreBudget", "%1 所在文件系统的剩余空间已不足 %2")
                .arg(QString::fromLocal8Bit(directory), QString::fromStdString(MiB(ReserveFor(space.total))))
                .toStdString();
    }
    return {};
}

}  // namespace quillet
