// Paths of files that the Linux build tree holds, as a Windows program under Wine sees them.
#pragma once

#include <string>

namespace k7::test {

// Wine shows the Linux file system as drive Z:.
inline std::string WindowsPath(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path.front() == '\\' ? "Z:" + path : path;
}

}  // namespace k7::test
