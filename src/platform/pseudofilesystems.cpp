#include "platform/pseudofilesystems.h"

#ifdef __linux__
#include <linux/magic.h>
#endif

namespace platform {

const char* pseudoFileSystemName(unsigned long type)
{
#ifdef __linux__
    struct Named
    {
        unsigned long type;
        const char* name;
    };
    // configfs, mqueue and fusectl are not in every version of <linux/magic.h>.
    static const Named named[] = {
        { PROC_SUPER_MAGIC, "proc" },
        { SYSFS_MAGIC, "sysfs" },
        { DEBUGFS_MAGIC, "debugfs" },
        { TRACEFS_MAGIC, "tracefs" },
        { SECURITYFS_MAGIC, "securityfs" },
        { 0x62656570, "configfs" },
        { CGROUP_SUPER_MAGIC, "cgroup" },
        { CGROUP2_SUPER_MAGIC, "cgroup2" },
        { BPF_FS_MAGIC, "bpf" },
        { EFIVARFS_MAGIC, "efivarfs" },
        { PSTOREFS_MAGIC, "pstore" },
        { DEVPTS_SUPER_MAGIC, "devpts" },
        { BINFMTFS_MAGIC, "binfmt_misc" },
        { NSFS_MAGIC, "nsfs" },
        { 0x19800202, "mqueue" },
        { 0x65735543, "fusectl" },
    };
    for (const Named& entry : named) {
        if (entry.type == type) {
            return entry.name;
        }
    }
#else
    (void)type;
#endif
    return nullptr;
}

} // namespace platform
