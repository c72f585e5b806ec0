#pragma once

#include <string>
#include <vector>

#include "ports/ports.h"

namespace k7 {

// ListSerialPorts over another sysfs class folder, device folder and by-path link folder,
// for tests.
std::vector<SerialPort> ListSerialPortsIn(const std::string& class_dir, const std::string& dev_dir,
                                          const std::string& by_path_dir);

}  // namespace k7
