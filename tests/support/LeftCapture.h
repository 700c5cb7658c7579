#pragma once

// A working directory as a run killed during its capture leaves it behind.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/CaptureFile.h"
#include "shell/Datagrams.h"

namespace quillet::testsupport {

// Made by CaptureSpool under base in a child that stores n UDP datagrams (one a second from
// firstUs) and ends without removing anything; its directory's path, empty on failure. Call it
// before the test starts threads.
inline std::string LeaveCapture(const std::string& base, int n, std::int64_t firstUs = 1700000000000000)
{
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (int i = 0; i < n; ++i)
        datagrams.push_back(quillet::test::Ipv4Udp("10.1.0.1", "10.1.0.2", 4000, 5000, "left " + std::to_string(i)));
    int out[2];
    if (::pipe(out) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        std::string error;
        auto spool = CaptureSpool::Create(base, error);
        std::uint64_t offset = 0;
        bool ok = spool != nullptr;
        for (std::size_t i = 0; ok && i < datagrams.size(); ++i)
            ok = spool->Append(firstUs + std::int64_t(i) * 1000000, datagrams[i],
                               std::uint32_t(datagrams[i].size()), offset);
        if (ok && spool->Flush())
            (void)!::write(out[1], spool->directory().data(), spool->directory().size());
        ::_exit(0);  // as a killed run: the spool's directory stays
    }
    ::close(out[1]);
    std::string dir;
    char buffer[256];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        dir.append(buffer, std::size_t(n));
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    return dir;
}

}  // namespace quillet::testsupport
