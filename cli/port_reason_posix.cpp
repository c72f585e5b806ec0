// Linux: the device's owner, group and mode for a refused open, and the processes that
// hold a busy one, from /proc; and the reading of users, groups and processes that
// `korvel7 doctor` shares (linux_system.h). Best effort: what cannot be read is left out.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "cli/linux_system.h"
#include "cli/port_reason.h"

namespace k7 {

namespace {

// The processes, this one included, that hold a lock on the file (st_dev and st_ino as /proc/locks
// writes them, "MAJOR:MINOR:INODE" with the device numbers in hexadecimal). Waiters ("->") hold
// nothing.
std::vector<std::string> LockOwners(const struct stat& file) {
    char key[64];
    std::snprintf(key, sizeof key, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    std::vector<std::string> owners;
    std::ifstream locks(Paths().proc + "/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, type, kind, mode, pid, where;
        fields >> id >> type;
        if (type == "->") continue;
        fields >> kind >> mode >> pid >> where;
        if (where == key) owners.push_back(pid);
    }
    return owners;
}

// The number of the pseudo-terminal slave that `file` is (majors 136 to 143 number them
// 256 to a major), or -1 for any other file.
long PtyIndex(const struct stat& file) {
    const unsigned major_number = major(file.st_rdev);
    if (!S_ISCHR(file.st_mode) || major_number < 136 || major_number > 143) return -1;
    return static_cast<long>((major_number - 136) * 256 + minor(file.st_rdev));
}

// Whether the descriptor /proc/PID/fd/N, leading to `target`, is the master of
// pseudo-terminal `index`: /proc/PID/fdinfo/N tells a master's slave number.
bool IsMasterOf(const std::filesystem::path& fd, const struct stat& target, long index) {
    if (index < 0 || !S_ISCHR(target.st_mode) || target.st_rdev != makedev(5, 2)) return false;
    std::ifstream info(fd.parent_path().parent_path() / "fdinfo" / fd.filename());
    for (std::string line; std::getline(info, line);)
        if (line.rfind("tty-index:", 0) == 0) return std::atol(line.c_str() + 10) == index;
    return false;
}

// The processes that have the file open, from their /proc/PID/fd links. The far end of a
// pseudo-terminal (a simulator, a terminal emulator) holds its master and often the slave
// too: it is the line, not a program that keeps others off it.
std::vector<std::string> Openers(const struct stat& file) {
    namespace fs = std::filesystem;
    const long pty_index = PtyIndex(file);
    std::vector<std::string> openers;
    std::error_code error;
    for (const fs::directory_entry& process : fs::directory_iterator(Paths().proc, error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        bool opens = false, far_end = false;
        std::error_code fd_error;
        for (const fs::directory_entry& fd :
             fs::directory_iterator(process.path() / "fd", fd_error)) {
            struct stat target {};
            if (stat(fd.path().c_str(), &target) != 0) continue;
            opens = opens || (target.st_dev == file.st_dev && target.st_ino == file.st_ino);
            far_end = far_end || IsMasterOf(fd.path(), target, pty_index);
        }
        if (opens && !far_end) openers.push_back(pid);
    }
    return openers;
}

}  // namespace

const SystemPaths& Paths() {
    static const SystemPaths paths = [] {
        const char* set = std::getenv("KORVEL7_SYSTEM_ROOT");
        const std::string root = set != nullptr ? set : "";
        return SystemPaths{root + "/proc",
                           root + "/run/udev/data",
                           root + "/etc/group",
                           {root + "/etc/udev/rules.d", root + "/run/udev/rules.d",
                            root + "/usr/lib/udev/rules.d", root + "/lib/udev/rules.d"}};
    }();
    return paths;
}

std::string ProgramName(const std::string& pid) {
    std::ifstream comm(Paths().proc + "/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::vector<std::string> HolderPids(const std::string& path) {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) return {};
    std::vector<std::string> pids = LockOwners(file);
    if (pids.empty()) pids = Openers(file);
    std::erase(pids, std::to_string(getpid()));
    return pids;
}

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
    std::string names;
    for (const std::string& pid : HolderPids(path)) {
        const std::string name = ProgramName(pid);
        if (!names.empty()) names += ", ";
        names += (name.empty() ? "a process" : name) + " (pid " + pid + ")";
    }
    return names;
}

bool HeldHere(const std::string& path) {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0) return false;
    const std::vector<std::string> pids = LockOwners(file);
    return std::find(pids.begin(), pids.end(), std::to_string(getpid())) != pids.end();
}

// A device node is the device it numbers, wherever the node lies; any other file is itself.
bool SameDevice(const std::string& a, const std::string& b) {
    struct stat first {
    }, second{};
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
    if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace k7
