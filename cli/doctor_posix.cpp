// Linux: ModemManager and the udev database, the node's owner, group, mode and ACL, the
// processes that hold the port, and the rule files, each read straight from the system.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "cli/doctor.h"
#include "cli/linux_system.h"
#include "cli/port_reason.h"
#include "cli/terminal.h"
#include "cli/udev.h"

namespace k7 {

namespace {

namespace fs = std::filesystem;

constexpr char kStopModemManager[] = "sudo systemctl stop ModemManager";

std::vector<std::string> ModemManagerPids() {
    std::vector<std::string> pids;
    std::error_code error;
    for (const fs::directory_entry& process : fs::directory_iterator(Paths().proc, error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") == std::string::npos &&
            ProgramName(pid) == "ModemManager")
            pids.push_back(pid);
    }
    return pids;
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

// What udev's database records of a device node: "E:KEY=VALUE" properties and "G:" or
// "Q:" tags, one a line, in /run/udev/data/c<major>:<minor>.
struct UdevRecord {
    bool ignored = false;  // ID_MM_DEVICE_IGNORE: ModemManager leaves the device alone
    bool uaccess = false;  // the user at the seat gets an ACL on the node
};

UdevRecord ReadUdevRecord(dev_t device) {
    std::ifstream in(Paths().udev_data + "/c" + std::to_string(major(device)) + ":" +
                     std::to_string(minor(device)));
    UdevRecord record;
    for (std::string line; std::getline(in, line);) {
        if (line == "E:ID_MM_DEVICE_IGNORE=1") record.ignored = true;
        if (line == "G:uaccess" || line == "Q:uaccess") record.uaccess = true;
    }
    return record;
}

// Whether the node's access ACL gives this user read and write in an entry of its own, as
// uaccess does for the user at the seat; the mask, where there is one, limits it. The
// extended attribute holds a version (2) and entries of tag, permissions and id, little-endian.
bool AclLetsUserIn(const std::string& path) {
    unsigned char acl[1024];
    const ssize_t size = getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
    if (size < 4 || (size - 4) % 8 != 0 || acl[0] != 2 || acl[1] != 0) return false;
    const auto le = [&](ssize_t at, int bytes) {
        unsigned value = 0;
        for (int i = bytes - 1; i >= 0; --i)
            value = value << 8 | acl[at + i];
        return value;
    };
    constexpr unsigned kUserEntry = 0x02, kMaskEntry = 0x10, kReadWrite = 06;
    unsigned user = 0, mask = 07;
    for (ssize_t at = 4; at < size; at += 8) {
        if (le(at, 2) == kUserEntry && le(at + 4, 4) == getuid()) user = le(at + 2, 2);
        if (le(at, 2) == kMaskEntry) mask = le(at + 2, 2);
    }
    return (user & mask & kReadWrite) == kReadWrite;
}

// Whether a new login would put this user in the group: its own group, or a member in the
// group file.
bool GroupAfterLogin(gid_t gid) {
    const passwd* me = getpwuid(getuid());
    if (me == nullptr) return false;
    if (me->pw_gid == gid) return true;
    std::ifstream in(Paths().group_file);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name, password, id, members;
        std::getline(fields, name, ':'), std::getline(fields, password, ':');
        std::getline(fields, id, ':'), std::getline(fields, members);
        if (id != std::to_string(gid)) continue;
        std::istringstream list(members);
        for (std::string member; std::getline(list, member, ',');)
            if (member == me->pw_name) return true;
    }
    return false;
}

void CheckAccess(Findings& findings, const std::string& label, const std::string& path,
                 const struct stat& node, const UdevRecord& record) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", node.st_mode & 07777);
    const std::string group = GroupName(node.st_gid);
    std::string why = "owner " + UserName(node.st_uid) + ", group " + group + ", mode " + mode;
    const bool joined_later = !InGroup(node.st_gid) && GroupAfterLogin(node.st_gid);
    if (InGroup(node.st_gid)) why += "; this user is in group " + group;
    if (joined_later) why += "; this user joined group " + group + " after this login";
    if (AclLetsUserIn(path)) why += "; an ACL lets this user in";
    why += record.uaccess ? "; udev tags it uaccess" : "; udev does not tag it uaccess";
    if (access(path.c_str(), R_OK | W_OK) == 0) {
        findings.Ok(label + ": this user may read and write it (" + why + ")");
    } else if (joined_later) {
        findings.Fail(label + ": this user may not read and write it (" + why + ")",
                      "log out and in again (in this terminal alone: newgrp " + group + ")");
    } else {
        findings.Fail(label + ": this user may not read and write it (" + why + ")",
                      InstallRuleCommand(label) +
                          " (or, for a service account: sudo usermod -aG dialout $USER, and a "
                          "new login)");
    }
}

void CheckHolders(Findings& findings, const std::string& label, const std::string& path) {
    const std::vector<std::string> pids = HolderPids(path);
    if (pids.empty()) return findings.Ok(label + ": no other program holds it");
    std::vector<std::string> names;
    for (const std::string& pid : pids)
        names.push_back(ProgramName(pid) + " (pid " + pid + ")");
    findings.Fail(label + ": held by " + Joined(names, ", "),
                  "close that program (kill " + Joined(pids, " ") + ")");
}

void CheckMark(Findings& findings, const std::string& label, const UdevRecord& record) {
    const std::vector<std::string> modem_manager = ModemManagerPids();
    if (record.ignored)
        findings.Ok(label + ": marked ID_MM_DEVICE_IGNORE, so ModemManager leaves it alone");
    else if (modem_manager.empty())
        findings.Note(label + ": not marked ID_MM_DEVICE_IGNORE; ModemManager is not running");
    else
        findings.Fail(label + ": ModemManager is running (pid " + Joined(modem_manager, ", ") +
                          ") and the device is not marked ID_MM_DEVICE_IGNORE: it may write "
                          "into the port and hold it",
                      InstallRuleCommand(label) + " (or: " + kStopModemManager + ")");
}

// A rule file udev reads, and the USB devices it keeps ModemManager off.
struct RuleFile {
    std::string path;
    std::string name;
    std::vector<UsbId> ignored;
};

// The rule files in udev's order: by name, a file in an earlier folder hiding one of the
// same name in a later folder. Lines ending in a backslash go on in the next.
std::vector<RuleFile> InstalledRules() {
    std::map<std::string, std::string> files;  // name -> path
    for (const std::string& dir : Paths().rule_dirs) {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir, error))
            if (entry.path().extension() == ".rules")
                files.emplace(entry.path().filename().string(), entry.path().string());
    }
    std::vector<RuleFile> rules;
    for (const auto& [name, path] : files) {
        RuleFile rule{path, name, {}};
        std::ifstream in(path);
        std::string line;
        for (std::string part; std::getline(in, part);) {
            line += part;
            if (!line.empty() && line.back() == '\\') {
                line.pop_back();
                continue;
            }
            if (const std::optional<UsbId> usb = IgnoredUsbDevice(line))
                rule.ignored.push_back(*usb);
            line.clear();
        }
        rules.push_back(std::move(rule));
    }
    return rules;
}

std::string IdText(const UsbId& usb) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", usb.vendor, usb.product);
    return text;
}

// A rule that marks the device is only in place when it also runs before uaccess is applied.
void CheckRule(Findings& findings, const std::string& subject, const RuleFile& rule,
               const UsbId& usb) {
    const std::string found =
        subject + "udev rule " + rule.path + " marks USB " + IdText(usb) + " ID_MM_DEVICE_IGNORE";
    if (BeforeUaccess(rule.name))
        return findings.Ok(found + ", numbered below 73 so that uaccess applies");
    findings.Fail(found + ", but runs after 73-seat-late.rules, so its uaccess tag is ignored",
                  "sudo mv " + rule.path + " " + kRuleFile +
                      " && sudo udevadm control --reload && sudo udevadm trigger");
}

}  // namespace

void CheckSystem(Findings& findings, bool ports) {
    const std::vector<std::string> modem_manager = ModemManagerPids();
    if (modem_manager.empty())
        findings.Ok("ModemManager is not running");
    else
        findings.Note("ModemManager is running (pid " + Joined(modem_manager, ", ") +
                      "): it probes serial devices not marked ID_MM_DEVICE_IGNORE");
    // With a receiver plugged in its port's checks say whether a rule covers it.
    if (ports) return;
    bool any = false;
    for (const RuleFile& rule : InstalledRules()) {
        for (const UsbId& usb : rule.ignored) {
            CheckRule(findings, "", rule, usb);
            any = true;
        }
    }
    if (any) return;
    const std::string none = "no udev rule marks a USB device ID_MM_DEVICE_IGNORE";
    if (modem_manager.empty())
        findings.Note(none + "; with a receiver plugged in: " + InstallRuleCommand("PORT"));
    else
        findings.Fail(none + ", and ModemManager is running: it will probe a receiver plugged in",
                      InstallRuleCommand("PORT") + " (or: " + kStopModemManager + ")");
}

void CheckPort(Findings& findings, const PortRef& port, const std::optional<UsbIdentity>& usb) {
    const std::string& label = port.label;
    struct stat node {};
    if (stat(port.device.c_str(), &node) != 0)
        return findings.Fail(label + ": no such device",
                             "korvel7 ports (lists the ports there are)");
    findings.Note(label + ": " + (usb ? DescribeUsb(*usb) : "not a USB port"));
    const UdevRecord record = ReadUdevRecord(node.st_rdev);
    CheckAccess(findings, label, port.device, node, record);
    CheckHolders(findings, label, port.device);
    CheckMark(findings, label, record);
    if (!usb) return;
    const UsbId id{usb->vendor_id, usb->product_id};
    for (const RuleFile& rule : InstalledRules()) {
        if (std::find(rule.ignored.begin(), rule.ignored.end(), id) != rule.ignored.end())
            return CheckRule(findings, label + ": ", rule, id);
    }
    findings.Note(label + ": no udev rule marks USB " + IdText(id) +
                  " ID_MM_DEVICE_IGNORE; to install one: " + InstallRuleCommand(label));
}

void HintModemManager(std::FILE* err, const PortRef& port, Failure failure) {
    static std::mutex mutex;
    static std::set<std::string> hinted;
    if (failure != Failure::kNotFound || ModemManagerPids().empty()) return;
    struct stat node {};
    if (stat(port.device.c_str(), &node) != 0 || ReadUdevRecord(node.st_rdev).ignored) return;
    if (!ListedUsbIdentity(port, ListSerialPorts())) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!hinted.insert(port.label).second) return;
    }
    const std::string label = Printable(port.label);
    std::fprintf(err,
                 "korvel7: %s: ModemManager is running and the device is not marked "
                 "ID_MM_DEVICE_IGNORE, so it may probe the port and hold it; 'korvel7 doctor "
                 "--port %s' says how to keep it off\n",
                 label.c_str(), label.c_str());
}

}  // namespace k7
