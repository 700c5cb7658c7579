#include "core/StoreBudget.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace quillet {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(500);
constexpr std::uint64_t kWrittenBetweenChecks = std::uint64_t{16} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

std::string MiB(std::uint64_t bytes)
{
    return std::to_string((bytes + (1u << 19)) >> 20) + " MiB";
}

}  // namespace

StoreBudget::StoreBudget(std::uint64_t memoryLimitBytes, std::uint64_t diskReserveBytes)
    : residentBytes(ReadResidentBytes), freeSpace(ReadFreeSpace),
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
        const std::uint64_t resident = residentBytes ? residentBytes() : 0;
        if (resident >= memoryLimit_)
            return "the program's memory use reached its limit of " + MiB(memoryLimit_);
    }
    const bool written = !spaceChecked_ || spoolBytes - spaceCheckedAt_ >= kWrittenBetweenChecks;
    if (!directory.empty() && (now >= nextSpaceCheck_ || written)) {
        nextSpaceCheck_ = now + kInterval;
        spaceCheckedAt_ = spoolBytes;
        spaceChecked_ = true;
        Space space;
        if (freeSpace && freeSpace(directory, space) && space.available < ReserveFor(space.total))
            return "less than " + MiB(ReserveFor(space.total)) + " remain free on the file system of " + directory;
    }
    return {};
}

}  // namespace quillet
