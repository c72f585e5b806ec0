// What korvel7 reads of a Linux system beyond sysfs: its processes, the udev database and
// rules, the group file. KORVEL7_SYSTEM_ROOT, when set, moves all of these below a folder,
// as SYSFS_PATH moves sysfs, so that a test can build a system of its own.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace k7 {

struct SystemPaths {
    std::string proc;                    // /proc
    std::string udev_data;               // /run/udev/data
    std::string group_file;              // /etc/group
    std::vector<std::string> rule_dirs;  // udev's rule folders, the one that wins first
};

// The paths, read from the environment once.
const SystemPaths& Paths();

// The program a process runs, from its comm; empty when it is gone.
std::string ProgramName(const std::string& pid);

// The other processes that hold the device: the owner of its lock, or else every process
// that has it open, except the far end of a pseudo-terminal.
std::vector<std::string> HolderPids(const std::string& path);

std::string GroupName(gid_t gid);
std::string UserName(uid_t uid);
// Whether this process has the group now; a group joined after the login it runs in is not.
bool InGroup(gid_t gid);

}  // namespace k7
