#pragma once

#include <functional>
#include <optional>

namespace quillet {

// The major version of the running kernel (uname), or nothing when it
// cannot be read.
std::optional<int> RunningKernelMajor();

// Where the capture's system check takes the kernel's major version from;
// tests put in their own.
using KernelMajorSource = std::function<std::optional<int>()>;

// True when the kernel supports the capture facility: major version 3 or
// later. A version that cannot be read does not pass.
bool IsNT5OrHigher(const KernelMajorSource& source = RunningKernelMajor);

// The major version at the start of a release text such as "6.1.0-18-amd64".
std::optional<int> ParseKernelMajor(const char* release);

}  // namespace quillet
