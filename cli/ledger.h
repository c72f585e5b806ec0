// The station's ledger: one line per finished job, appended to a file that is never
// truncated, flushed to the disk as each line goes in, and readable by others (tail -f,
// jq) while the station runs. What a line says is the caller's; this owns the file.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace k7 {

class Ledger {
public:
    Ledger() = default;
    ~Ledger();
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    // Opens `path` for appending, creating it when missing; a directory, a FIFO or a
    // socket is refused. Empty when it worked, otherwise what failed, naming the file and
    // the system's reason. Call once.
    std::string Open(const std::string& path);
    // Appends `line` and a line end in one write, then flushes the file to the disk.
    // Empty when both worked, otherwise what failed and why (a full disk, an I/O error).
    // Job threads may call it at once: each line goes in whole, never inside another.
    std::string Append(std::string_view line);

private:
    std::mutex mutex_;
    std::string path_;
    std::intptr_t file_ = -1;  // the platform's descriptor or handle; -1 when not open
};

// The platform's side, once per platform. Each returns empty or the system's reason.
std::string OpenLedgerFile(const std::string& path, std::intptr_t* file);
std::string WriteLedgerFile(std::intptr_t file, std::string_view bytes);  // all of them
std::string SyncLedgerFile(std::intptr_t file);
void CloseLedgerFile(std::intptr_t file);

}  // namespace k7
