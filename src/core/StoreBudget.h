#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace quillet {

// How far a capture may fill memory and the working file's file system.
// Checked once per burst, cheaply: resident memory (/proc/self/statm) and the
// control group's memory at most twice a second, free space (statvfs) at most
// every 500 ms or after 16 MiB more were written.
//
// A control group with a memory limit (cgroup v2 memory.max, or memory.high
// when lower; cgroup v1 memory.limit_in_bytes; the lowest of the group and its
// parents) kills the program when its memory reaches the limit, whatever the
// physical memory. So the capture also stops once the group's memory in use
// (its usage without the file cache it can drop) reaches kGroupShare of that
// limit.
class StoreBudget {
public:
    using Clock = std::chrono::steady_clock;
    struct Space {
        std::uint64_t total = 0;      // bytes of the file system
        std::uint64_t available = 0;  // bytes an unprivileged writer may still use
    };

    // The memory limit of a control group and what its members use of it.
    struct Group {
        std::uint64_t limit = 0;  // bytes; 0: no limit
        std::uint64_t used = 0;   // bytes in use that the kernel cannot drop
    };
    static constexpr double kGroupShare = 0.8;

    // memoryLimitBytes 0: half of the physical memory. diskReserveBytes 0:
    // the smaller of 1 GiB and 5 % of the file system.
    StoreBudget(std::uint64_t memoryLimitBytes, std::uint64_t diskReserveBytes);

    // Empty while within the budget, else why the capture must stop.
    // spoolBytes: bytes of the working file so far; directory: where it is.
    std::string Check(Clock::time_point now, std::uint64_t spoolBytes, const std::string& directory);

    std::uint64_t memoryLimit() const { return memoryLimit_; }

    // Memory the capture holds outside this process and its memory group
    // (the capture program's kernel ring), counted with the resident memory
    // against the memory limit.
    std::uint64_t outsideBytes = 0;
    std::uint64_t ReserveFor(std::uint64_t fileSystemBytes) const;

    // Where the figures come from; replaced in tests.
    std::function<std::uint64_t()> residentBytes;
    std::function<bool(const std::string& directory, Space& space)> freeSpace;
    std::function<Group()> groupMemory;

    static std::uint64_t PhysicalMemory();
    static std::uint64_t ReadResidentBytes();
    static bool ReadFreeSpace(const std::string& directory, Space& space);
    // A reader of the memory group of this process (v1 memory controller or
    // v2): where the group is, from /proc/self/cgroup and
    // /proc/self/mountinfo, is found once; each call reads the group's files.
    static std::function<Group()> GroupMemoryReader();

private:
    std::uint64_t memoryLimit_;
    std::uint64_t diskReserve_;
    Clock::time_point nextMemoryCheck_{};
    Clock::time_point nextSpaceCheck_{};
    std::uint64_t spaceCheckedAt_ = 0;  // spoolBytes at the last statvfs
    bool spaceChecked_ = false;
};

}  // namespace quillet
