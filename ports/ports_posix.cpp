// Serial ports from sysfs: every /sys/class/tty entry with a device behind it. Built-in
// UARTs that the kernel registers whether or not one is fitted report type 0 and are
// left out. USB adapters get a friendly name from their USB strings, as Windows shows
// "USB Serial Device (COM3)", and their identity from the USB device above the tty.
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "ports/ports.h"
#include "ports/sysfs.h"

namespace k7 {

namespace fs = std::filesystem;

namespace {

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The nearest of the device's ancestors (the device itself included) that holds `file`.
std::optional<fs::path> AncestorWith(const fs::path& device, const char* file) {
    std::error_code ec;
    for (fs::path dir = fs::canonical(device, ec); !ec && dir.has_relative_path();
         dir = dir.parent_path()) {
        if (fs::exists(dir / file, ec)) return dir;
    }
    return std::nullopt;
}

// The first of the device's ancestors that carries a USB product string.
std::optional<std::string> UsbFriendlyName(const fs::path& device, const std::string& tty) {
    const std::optional<fs::path> dir = AncestorWith(device, "product");
    if (!dir) return std::nullopt;
    std::string manufacturer = ReadLine(*dir / "manufacturer");
    std::string product = ReadLine(*dir / "product");
    std::string name = manufacturer.empty() ? product : manufacturer + " " + product;
    return name + " (" + tty + ")";
}

std::optional<std::uint16_t> ReadHexId(const fs::path& file) {
    const std::string text = ReadLine(file);
    std::uint16_t id = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id, 16);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return id;
}

// The /dev/serial/by-path link in `by_path_dir` that resolves to `port`, empty when none.
std::string ByPathLink(const fs::path& by_path_dir, const fs::path& port) {
    std::error_code ec;
    const fs::path target = fs::weakly_canonical(port, ec);
    for (const auto& link : fs::directory_iterator(by_path_dir, ec)) {
        std::error_code link_ec;
        const fs::path points_to = fs::read_symlink(link.path(), link_ec);
        if (link_ec) continue;
        if (fs::weakly_canonical(by_path_dir / points_to, link_ec) == target && !link_ec)
            return link.path().string();
    }
    return {};
}

// The USB device (the directory with idVendor and idProduct) above the tty's device: an
// ACM tty hangs below an interface of it, a USB-serial tty one level further down.
std::optional<UsbIdentity> UsbIdentityOf(const fs::path& device) {
    const std::optional<fs::path> dir = AncestorWith(device, "idVendor");
    if (!dir) return std::nullopt;
    const std::optional<std::uint16_t> vendor = ReadHexId(*dir / "idVendor");
    const std::optional<std::uint16_t> product = ReadHexId(*dir / "idProduct");
    if (!vendor || !product) return std::nullopt;
    UsbIdentity usb{*vendor, *product, std::nullopt, dir->filename().string(), {}};
    std::error_code ec;
    if (fs::exists(*dir / "serial", ec)) usb.serial_number = ReadLine(*dir / "serial");
    return usb;
}

// sysfs spells a device node below a folder of /dev with '!' for each '/' (pts!3 for
// /dev/pts/3), as udev reads it back.
std::string DeviceNodeName(std::string sysfs_name) {
    std::replace(sysfs_name.begin(), sysfs_name.end(), '!', '/');
    return sysfs_name;
}

}  // namespace

std::vector<SerialPort> ListSerialPortsIn(const std::string& class_dir, const std::string& dev_dir,
                                          const std::string& by_path_dir) {
    std::vector<SerialPort> ports;
    std::error_code ec;
    for (const auto& tty : fs::directory_iterator(class_dir, ec)) {
        const fs::path device = tty.path() / "device";
        if (!fs::exists(device, ec)) continue;
        const std::string type = ReadLine(tty.path() / "type");
        if (type == "0") continue;
        const std::string name = DeviceNodeName(tty.path().filename().string());
        SerialPort port = SerialPortNamed(dev_dir + "/" + name, UsbFriendlyName(device, name));
        port.usb = UsbIdentityOf(device);
        if (port.usb) port.usb->by_path = ByPathLink(by_path_dir, port.name);
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPort& a, const SerialPort& b) { return a.name < b.name; });
    return ports;
}

// SYSFS_PATH moves the sysfs mount point, as it does for libudev: a test builds a tree of
// its own there.
std::vector<SerialPort> ListSerialPorts() {
    const char* sysfs = std::getenv("SYSFS_PATH");
    const std::string root = sysfs != nullptr && *sysfs != '\0' ? sysfs : "/sys";
    return ListSerialPortsIn(root + "/class/tty", "/dev", "/dev/serial/by-path");
}

}  // namespace k7
