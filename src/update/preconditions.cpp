#include <cstdio>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "update/stages.h"

bool running_as_root()
{
    if (getuid() == 0 && geteuid() == 0) return true;
    puts("You are not root, dude.");
    return false;
}

// The running system's root, not the working directory: updating a tree
// while the system itself lives on NFS would pull the rug from under it.
bool root_is_local()
{
    struct statfs root {};
    if (statfs("/", &root) != 0) {
        // A root that cannot be checked is not updated.
        perror("statfs");
        return false;
    }
    if (root.f_type == NFS_SUPER_MAGIC) {
        puts("rootfs is mounted via NFS, not updating.");
        return false;
    }
    return true;
}
