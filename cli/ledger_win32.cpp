#include <windows.h>

#include <system_error>

#include "cli/ledger.h"

namespace k7 {

namespace {

std::string LastErrorText() {
    return std::system_category().message(static_cast<int>(GetLastError()));
}

HANDLE Handle(std::intptr_t file) {
    return reinterpret_cast<HANDLE>(file);
}

}  // namespace

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end, whoever else
// appends. Others may read the ledger while it grows, and another station append to it.
// A directory does not open without FILE_FLAG_BACKUP_SEMANTICS; a pipe or a console is
// refused once open.
std::string OpenLedgerFile(const std::string& path, std::intptr_t* file) {
    const HANDLE handle =
        CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastErrorText();
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return "it is not a file on a disk";
    }
    *file = reinterpret_cast<std::intptr_t>(handle);
    return {};
}

std::string WriteLedgerFile(std::intptr_t file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD size = bytes.size() < MAXDWORD ? static_cast<DWORD>(bytes.size()) : MAXDWORD;
        DWORD written = 0;
        if (!WriteFile(Handle(file), bytes.data(), size, &written, nullptr)) return LastErrorText();
        if (written == 0) return "nothing was written";
        bytes.remove_prefix(written);
    }
    return {};
}

std::string SyncLedgerFile(std::intptr_t file) {
    return FlushFileBuffers(Handle(file)) ? std::string() : LastErrorText();
}

void CloseLedgerFile(std::intptr_t file) {
    CloseHandle(Handle(file));
}

}  // namespace k7
