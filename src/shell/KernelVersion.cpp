#include "shell/KernelVersion.h"

#include <sys/utsname.h>

namespace quillet {

std::optional<int> ParseKernelMajor(const char* release)
{
    if (!release || *release < '0' || *release > '9')
        return std::nullopt;
    long major = 0;
    for (const char* p = release; *p >= '0' && *p <= '9'; ++p) {
        major = major * 10 + (*p - '0');
        if (major > 1000000)
            return std::nullopt;
    }
    return static_cast<int>(major);
}

std::optional<int> RunningKernelMajor()
{
    utsname u{};
    if (uname(&u) != 0)
        return std::nullopt;
    return ParseKernelMajor(u.release);
}

bool IsNT5OrHigher(const KernelMajorSource& source)
{
    const std::optional<int> major = source ? source() : std::nullopt;
    return major && *major >= 3;
}

}  // namespace quillet
