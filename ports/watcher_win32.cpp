// Ports appearing on Windows, read from the serial-port map (HARDWARE\DEVICEMAP\SERIALCOMM).
// The device tree keeps a key for every port that was ever installed, plugged in or not;
// the map lists only the ports that exist now, which is what a watcher needs. The registry
// signals a change of the map's values, so the watcher sleeps until one comes; while the
// map does not exist (no port yet) it is looked for every 250 ms.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "ports/watcher.h"

namespace k7 {

namespace {

constexpr char kSerialCommMap[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD kPollIntervalMs = 250;

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

class SerialCommSource : public WatchSource {
public:
    explicit SerialCommSource(const std::vector<std::string>& patterns)
        : wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)),  // auto-reset: one wait per wake
          changed_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        for (const std::string& pattern : patterns)
            patterns_.push_back(Upper(pattern));
        Arm();
    }
    ~SerialCommSource() override {
        if (map_ != nullptr) RegCloseKey(map_);
        CloseHandle(changed_);
        CloseHandle(wake_);
    }

    std::set<std::string> Scan() override {
        std::set<std::string> ports;
        HKEY map = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommMap, 0, KEY_READ, &map) != ERROR_SUCCESS)
            return ports;
        for (DWORD index = 0;; ++index) {
            char name[256];
            char data[256] = {};
            DWORD name_size = sizeof name;
            DWORD data_size = sizeof data - 1;
            DWORD type = 0;
            const LONG result = RegEnumValueA(map, index, name, &name_size, nullptr, &type,
                                              reinterpret_cast<BYTE*>(data), &data_size);
            if (result == ERROR_MORE_DATA) continue;  // no port name is that long
            if (result != ERROR_SUCCESS) break;
            if (type != REG_SZ) continue;
            const std::string port = data;
            if (std::ranges::any_of(patterns_, [&](const std::string& pattern) {
                    return MatchesWildcard(pattern, Upper(port));
                }))
                ports.insert(port);
        }
        RegCloseKey(map);
        return ports;
    }

    Woke WaitForActivity(std::chrono::milliseconds timeout) override {
        const DWORD wanted =
            timeout == kWaitForever
                ? INFINITE
                : static_cast<DWORD>(std::min<long long>(timeout.count(), INFINITE - 1));
        const bool armed = map_ != nullptr || Arm();
        const DWORD wait = armed ? wanted : std::min(wanted, kPollIntervalMs);
        const HANDLE events[2] = {wake_, changed_};
        const DWORD woke = WaitForMultipleObjects(armed ? 2 : 1, events, FALSE, wait);
        if (woke == WAIT_OBJECT_0) return Woke::kWoken;
        if (woke == WAIT_OBJECT_0 + 1) {
            Arm();  // before the scan, so a change after it signals again
            return Woke::kActivity;
        }
        return wait < wanted ? Woke::kActivity : Woke::kTimeout;
    }

    void Wake() override { SetEvent(wake_); }

private:
    // Asks the registry to signal the next change of the map's values; false while the
    // map cannot be opened.
    bool Arm() {
        ResetEvent(changed_);
        if (map_ == nullptr && RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommMap, 0, KEY_NOTIFY,
                                             &map_) != ERROR_SUCCESS) {
            map_ = nullptr;
            return false;
        }
        if (RegNotifyChangeKeyValue(map_, FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed_, TRUE) ==
            ERROR_SUCCESS)
            return true;
        RegCloseKey(map_);
        map_ = nullptr;
        return false;
    }

    std::vector<std::string> patterns_;
    HANDLE wake_;
    HANDLE changed_;
    HKEY map_ = nullptr;
};

}  // namespace

std::vector<std::string> DefaultWatchPatterns() {
    return {"COM*"};
}

std::unique_ptr<WatchSource> MakeWatchSource(const std::vector<std::string>& patterns) {
    return std::make_unique<SerialCommSource>(patterns);
}

}  // namespace k7
