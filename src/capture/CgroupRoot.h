#pragma once

#include <string>

namespace quillet {

// Where the root of the cgroup v2 hierarchy is mounted, from the text of
// /proc/self/mountinfo: the first cgroup2 mount of the hierarchy's own root
// (/sys/fs/cgroup, or /sys/fs/cgroup/unified beside the v1 controllers of a
// hybrid system); "" when there is none. A mount of a group below the root
// (a container's view) is not the root and is passed over.
std::string CgroupV2Root(const std::string& mountinfo);

}  // namespace quillet
