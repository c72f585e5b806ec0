// Serial ports from sysfs: every /sys/class/tty entry with a device behind it. Built-in
// UARTs that the kernel registers whether or not one is fitted report type 0 and are
// left out. USB adapters get a friendly name from their USB strings, as Windows shows
// "USB Serial Device (COM3)".
#include <algorithm>
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

// The first of the device's ancestors that carries a USB product string.
std::optional<std::string> UsbFriendlyName(const fs::path& device, const std::string& tty) {
    std::error_code ec;
    for (fs::path dir = fs::canonical(device, ec); !ec && dir.has_relative_path();
         dir = dir.parent_path()) {
        if (!fs::exists(dir / "product", ec)) continue;
        std::string manufacturer = ReadLine(dir / "manufacturer");
        std::string product = ReadLine(dir / "product");
        std::string name = manufacturer.empty() ? product : manufacturer + " " + product;
        return name + " (" + tty + ")";
    }
    return std::nullopt;
}

}  // namespace

std::vector<SerialPort> ListSerialPortsIn(const std::string& class_dir,
                                          const std::string& dev_dir) {
    std::vector<SerialPort> ports;
    std::error_code ec;
    for (const auto& tty : fs::directory_iterator(class_dir, ec)) {
        const fs::path device = tty.path() / "device";
        if (!fs::exists(device, ec)) continue;
        const std::string type = ReadLine(tty.path() / "type");
        if (type == "0") continue;
        const std::string name = tty.path().filename().string();
        ports.push_back(SerialPortNamed(dev_dir + "/" + name, UsbFriendlyName(device, name)));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPort& a, const SerialPort& b) { return a.name < b.name; });
    return ports;
}

std::vector<SerialPort> ListSerialPorts() {
    return ListSerialPortsIn("/sys/class/tty", "/dev");
}

}  // namespace k7
