// Where the kernel programs attach: the cgroup v2 root among the mounts.
#include <gtest/gtest.h>

#include "capture/CgroupRoot.h"

using quillet::CgroupV2Root;

TEST(CgroupRoot, TheHierarchysOwnRootIsFoundAmongTheMounts)
{
    // Lines as /proc/self/mountinfo writes them, optional fields included.
    const std::string proc = "22 28 0:20 / /proc rw,nosuid shared:12 - proc proc rw\n";
    const std::string v1 = "30 25 0:26 / /sys/fs/cgroup/memory rw shared:8 - cgroup cgroup rw,memory\n";
    const struct {
        const char* what;
        std::string mountinfo;
        const char* root;
    } cases[] = {
        {"unified", proc + "29 25 0:25 / /sys/fs/cgroup rw,nosuid,nodev shared:4 - cgroup2 cgroup2 rw,nsdelegate\n",
         "/sys/fs/cgroup"},
        {"hybrid: v1 controllers, v2 beside them",
         proc + "26 25 0:23 / /sys/fs/cgroup ro shared:3 - tmpfs tmpfs ro,mode=755\n" + v1
             + "27 26 0:24 / /sys/fs/cgroup/unified rw shared:5 - cgroup2 cgroup2 rw,nsdelegate\n",
         "/sys/fs/cgroup/unified"},
        {"v1 only", proc + v1, ""},
        {"a group below the root, then the root",
         "40 39 0:25 /user.slice/app /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
         "41 39 0:25 / /mnt/cg rw - cgroup2 cgroup2 rw\n",
         "/mnt/cg"},
        {"a mount point with a space", "41 39 0:25 / /mnt/c\\040g rw - cgroup2 cgroup2 rw\n", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CgroupV2Root(c.mountinfo), c.root) << c.what;
}
