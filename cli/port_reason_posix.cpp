// Linux: the device's owner, group and mode for a refused open, and the processes that
// hold a busy one, from /proc. Best effort: what cannot be read is left out.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "cli/port_reason.h"

namespace k7 {

namespace {

std::string GroupName(gid_t gid) {
    const group* entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

std::string UserName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

bool InGroup(gid_t gid) {
    if (getegid() == gid) return true;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    const int n = getgroups(static_cast<int>(groups.size()), groups.data());
    return n > 0 && std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

std::string ProcessName(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return (name.empty() ? "a process" : name) + " (pid " + pid + ")";
}

// The processes that hold a lock on the file (st_dev and st_ino as /proc/locks writes them,
// "MAJOR:MINOR:INODE" with the device numbers in hexadecimal). Waiters ("->") hold nothing.
std::vector<std::string> LockOwners(const struct stat& file) {
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    std::vector<std::string> owners;
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, type, kind, mode, pid, where;
        fields >> id >> type;
        if (type == "->") continue;
        fields >> kind >> mode >> pid >> where;
        if (where == key && pid != std::to_string(getpid())) owners.push_back(pid);
    }
    return owners;
}

// The other processes that have the file open, from their /proc/PID/fd links.
std::vector<std::string> Openers(const struct stat& file) {
    namespace fs = std::filesystem;
    std::vector<std::string> openers;
    std::error_code error;
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == std::to_string(getpid()))
            continue;
        std::error_code fd_error;
        for (const fs::directory_entry& fd :
             fs::directory_iterator(process.path() / "fd", fd_error)) {
            struct stat target {};
            if (stat(fd.path().c_str(), &target) == 0 && target.st_dev == file.st_dev &&
                target.st_ino == file.st_ino) {
                openers.push_back(pid);
                break;
            }
        }
    }
    return openers;
}

}  // namespace

std::string PermissionHint(const std::string& path) {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) return {};
    const unsigned mode = file.st_mode & 07777;
    const std::string group = GroupName(file.st_gid);
    if ((mode & 0060) == 0060 && !InGroup(file.st_gid)) {
        return "the device belongs to group '" + group +
               "', which may read and write it: add your user to that group (sudo usermod -aG " +
               group + " $USER) and log in again";
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode);
    return "its mode " + std::string(octal) + " (owner " + UserName(file.st_uid) + ", group " +
           group + ") does not let this user read and write it";
}

// A lock names its owner exactly; without one (another program made the terminal
// exclusive), every other process that has it open is named.
std::string BusyHolders(const std::string& path) {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) return {};
    std::vector<std::string> pids = LockOwners(file);
    if (pids.empty()) pids = Openers(file);
    std::string names;
    for (const std::string& pid : pids) {
        if (!names.empty()) names += ", ";
        names += ProcessName(pid);
    }
    return names;
}

}  // namespace k7
