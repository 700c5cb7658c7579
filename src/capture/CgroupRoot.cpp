#include "capture/CgroupRoot.h"

#include <sstream>

namespace quillet {

std::string CgroupV2Root(const std::string& mountinfo)
{
    // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPER"
    std::istringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos)
            continue;
        std::istringstream tail(line.substr(dash + 3));
        std::string type;
        tail >> type;
        if (type != "cgroup2")
            continue;
        std::istringstream head(line.substr(0, dash));
        std::string id, parent, device, root, point;
        head >> id >> parent >> device >> root >> point;
        // Only the hierarchy's own root sees every socket; a mount point
        // with spaces (written \040) is none of ours to guess at.
        if (root == "/" && !point.empty() && point.find('\\') == std::string::npos)
            return point;
    }
    return {};
}

}  // namespace quillet
