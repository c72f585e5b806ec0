#include "cli/log_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace k7 {

namespace {

// 255 bytes is the longest file name most file systems take; a stem of this many bytes
// leaves room for the time, a collision suffix up to "-999" and ".log".
constexpr std::size_t kMaxPortPart = 200;
constexpr int kMaxSuffix = 999;

std::string Flatten(const std::string& label) {
    std::string name;
    for (char c : label) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                           (c >= 'a' && c <= 'z') || c == '_' || c == '-';
        if (plain)
            name += c;
        else if (!name.empty() && name.back() != '-')
            name += '-';
    }
    while (!name.empty() && name.back() == '-')
        name.pop_back();
    return name.empty() ? "port" : name;
}

// FNV-1a: two long names that flatten to the same start and end still differ here.
std::string Hash(const std::string& text) {
    std::uint32_t hash = 2166136261u;
    for (char c : text)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char hex[12];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(hash));
    return hex;
}

}  // namespace

std::string LogFileStem(const std::string& label, const std::tm& local) {
    std::string port = Flatten(label);
    if (port.size() > kMaxPortPart) {
        const std::string hash = Hash(label);
        const std::size_t keep = (kMaxPortPart - hash.size() - 2) / 2;
        port = port.substr(0, keep) + "-" + hash + "-" + port.substr(port.size() - keep);
    }
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return port + "-" + stamp;
}

std::unique_ptr<LogFile> LogFile::Create(const std::string& dir, const std::string& stem) {
    std::string path;
    for (int n = 1; n <= kMaxSuffix; ++n) {
        path = dir + "/" + stem;
        if (n > 1) path += '-' + std::to_string(n);
        path += ".log";
        const int descriptor = CreateNewFile(path);
        if (descriptor >= 0 || errno != EEXIST) {
            auto file = std::make_unique<LogFile>(path, descriptor);
            if (descriptor < 0) file->error_ = std::strerror(errno);
            return file;
        }
    }
    auto file = std::make_unique<LogFile>(path, -1);
    file->error_ = std::strerror(EEXIST);
    return file;
}

LogFile::LogFile(std::string path, int descriptor)
    : path_(std::move(path)), descriptor_(descriptor) {}

LogFile::~LogFile() {
    Close();
}

void LogFile::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (descriptor_ >= 0 && error_.empty() && !text.empty()) {
        const long written = WriteSome(descriptor_, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error_ = std::strerror(written < 0 ? errno : ENOSPC);
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

bool LogFile::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (descriptor_ >= 0) {
        if (CloseDescriptor(descriptor_) != 0 && error_.empty()) error_ = std::strerror(errno);
        descriptor_ = -1;
        closed_ = true;
    }
    return closed_ && error_.empty();
}

}  // namespace k7
