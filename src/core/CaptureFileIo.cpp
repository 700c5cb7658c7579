#include "core/CaptureFileIo.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace quillet::fileio {

std::string ErrnoText(int err)
{
    return std::strerror(err);
}

FdGuard::~FdGuard()
{
    if (fd >= 0)
        ::close(fd);
}

std::string RandomName(const std::string& prefix)
{
    unsigned char random[kRandomChars] = {};
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // No entropy source: the clock and the address space still vary.
        auto seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    reinterpret_cast<std::uintptr_t>(&random);
        for (unsigned char& c : random) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            c = static_cast<unsigned char>(seed >> 56);
        }
    }
    std::string name = prefix;
    for (unsigned char c : random)
        name += kNameChars[c % kNameChars.size()];
    return name;
}

bool WriteFully(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t& written, std::string& error)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = ErrnoText(errno);
            return false;
        }
        if (n == 0) {
            error = ErrnoText(ENOSPC);
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        written += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool PwriteAll(int fd, const std::uint8_t* data, std::size_t size, std::uint64_t at, std::uint64_t& wrote,
               std::string& why)
{
    while (wrote < size) {
        const ssize_t n = ::pwrite(fd, data + wrote, size - wrote, static_cast<off_t>(at + wrote));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            why = ErrnoText(n < 0 ? errno : ENOSPC);
            return false;
        }
        wrote += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace quillet::fileio
