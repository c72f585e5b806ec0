#include "cli/ledger.h"

namespace k7 {

Ledger::~Ledger() {
    if (file_ != -1) CloseLedgerFile(file_);
}

std::string Ledger::Open(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    const std::string reason = OpenLedgerFile(path, &file_);
    if (reason.empty()) return {};
    file_ = -1;
    return "cannot open the ledger " + path + ": " + reason;
}

// The line end goes in the same write as the line, so a reader never sees half a line
// joined to the next writer's.
std::string Ledger::Append(std::string_view line) {
    std::string text(line);
    text += '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == -1) return "the ledger " + path_ + " is not open";
    if (std::string reason = WriteLedgerFile(file_, text); !reason.empty())
        return "writing to the ledger " + path_ + ": " + reason;
    if (std::string reason = SyncLedgerFile(file_); !reason.empty())
        return "flushing the ledger " + path_ + " to the disk: " + reason;
    return {};
}

}  // namespace k7
