#pragma once

#include <string>
#include <vector>

namespace k7 {

// ListSerialPorts over another sysfs class folder and device folder, for tests.
std::vector<std::string> ListSerialPortsIn(const std::string& class_dir,
                                           const std::string& dev_dir);

}  // namespace k7
