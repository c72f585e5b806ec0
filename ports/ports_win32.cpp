// Serial ports from the Windows registry. The device tree under the Enum key has three
// levels (enumerator, device, instance); every instance of the Ports class with a COM port
// name is one entry. Windows NT 4 has no such tree and lists its ports in SERIALCOMM.
#include <windows.h>

#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ports/ports.h"

namespace k7 {

namespace {

constexpr char kEnumRoot9x[] = "ENUM";
constexpr char kEnumRootNt[] = "SYSTEM\\CURRENTCONTROLSET\\ENUM";
constexpr char kSerialCommMap[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr char kPortsClassGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr DWORD kFirstBufferSize = 128;

// An open registry key, closed when replaced or destroyed.
class Key {
public:
    Key() = default;
    ~Key() { Close(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    HKEY* Receive() {
        Close();
        return &key_;
    }
    operator HKEY() const { return key_; }

private:
    void Close() {
        if (key_ != nullptr) RegCloseKey(key_);
        key_ = nullptr;
    }
    HKEY key_ = nullptr;
};

// Opens the subkey at `index` of `parent`, growing the name buffer until the name fits,
// and gives back its name.
LONG OpenSubKeyByIndex(HKEY parent, DWORD index, REGSAM access, Key* key, std::string* key_name) {
    std::vector<char> name(kFirstBufferSize);
    for (;;) {
        DWORD size = static_cast<DWORD>(name.size());
        FILETIME written;
        LONG result =
            RegEnumKeyExA(parent, index, name.data(), &size, nullptr, nullptr, nullptr, &written);
        if (result == ERROR_MORE_DATA && name.size() < 0x10000) {
            name.assign(2 * static_cast<std::size_t>(size) + 2, '\0');
            continue;
        }
        if (result != ERROR_SUCCESS) return result;
        *key_name = name.data();
        return RegOpenKeyExA(parent, name.data(), 0, access, key->Receive());
    }
}

// Reads a value of any length into `slot` as text. A value stored without its terminating
// zero gets one, so the slot always holds a terminated string.
LONG QueryValueAlloc(HKEY key, const char* value_name, std::vector<char>* slot) {
    DWORD size = kFirstBufferSize;
    for (;;) {
        slot->assign(static_cast<std::size_t>(size) + 1, '\0');
        LONG result = RegQueryValueExA(key, value_name, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(slot->data()), &size);
        if (result != ERROR_MORE_DATA) {
            if (result == ERROR_SUCCESS) slot->resize(static_cast<std::size_t>(size) + 1, '\0');
            slot->back() = '\0';
            return result;
        }
    }
}

// A value read into a buffer of `capacity` bytes; one that does not fit counts as no match.
bool ValueEquals(HKEY key, const char* value_name, const char* expected, DWORD capacity) {
    char text[64] = {};
    DWORD size = capacity;
    return RegQueryValueExA(key, value_name, nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                            &size) == ERROR_SUCCESS &&
           _stricmp(text, expected) == 0;
}

// "VID_1209&PID_000C..." (or with '+' between, as FTDI's own enumerator writes it): the
// USB vendor and product id a device key's name starts with.
bool ParseUsbIds(const std::string& device, UsbIdentity* usb) {
    const auto hex = [&](std::size_t at, std::uint16_t* id) {
        const char* end = device.data() + at + 4;
        return std::from_chars(device.data() + at, end, *id, 16).ptr == end;
    };
    return device.size() >= 17 && _strnicmp(device.c_str(), "VID_", 4) == 0 &&
           (device[8] == '&' || device[8] == '+') &&
           _strnicmp(device.c_str() + 9, "PID_", 4) == 0 && hex(4, &usb->vendor_id) &&
           hex(13, &usb->product_id);
}

bool IsPortClass(HKEY instance) {
    return ValueEquals(instance, "CLASS", "PORTS", 6) ||
           ValueEquals(instance, "CLASSGUID", kPortsClassGuid, 39);
}

class CPortEnumerator {
public:
    explicit CPortEnumerator(std::vector<SerialPort>* target) : target_(target) {}
    virtual ~CPortEnumerator() = default;

    void Enumerate();

private:
    enum class Next { kDevice, kEndWalk };

    // The names of the three levels' keys of one device: USB, VID_1209&PID_000C, 0042.
    struct DevicePath {
        std::string enumerator, device, instance;
    };

    void EnumSerialCommMap();
    void EnumDeviceTree(const char* root_path);
    Next AddDevice(HKEY instance, const DevicePath& path);
    std::optional<UsbIdentity> UsbIdentityOf(HKEY instance, const DevicePath& path);

    std::vector<SerialPort>* target_;
    std::vector<char> port_name_;
    std::vector<char> friendly_name_;
    std::vector<char> location_;
};

void CPortEnumerator::Enumerate() {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        EnumDeviceTree(kEnumRoot9x);
    else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion == 4)
        EnumSerialCommMap();
    else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        EnumDeviceTree(kEnumRootNt);
}

void CPortEnumerator::EnumSerialCommMap() {
    Key map;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommMap, 0, KEY_READ, map.Receive()) !=
        ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        char name[kFirstBufferSize];
        char data[kFirstBufferSize + 1] = {};
        DWORD name_size = kFirstBufferSize;
        DWORD data_size = kFirstBufferSize;
        if (RegEnumValueA(map, index, name, &name_size, nullptr, nullptr,
                          reinterpret_cast<BYTE*>(data), &data_size) != ERROR_SUCCESS)
            return;
        if (target_ != nullptr) target_->push_back(SerialPortNamed(data));
    }
}

// Any registry failure other than "no more items" ends the walk; what was found so far
// stays listed.
void CPortEnumerator::EnumDeviceTree(const char* root_path) {
    Key root;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, root_path, 0, KEY_ENUMERATE_SUB_KEYS, root.Receive()) !=
        ERROR_SUCCESS)
        return;
    Key enumerator;
    Key device;
    Key instance;
    DevicePath path;
    for (DWORD i = 0;; ++i) {
        LONG result =
            OpenSubKeyByIndex(root, i, KEY_ENUMERATE_SUB_KEYS, &enumerator, &path.enumerator);
        if (result != ERROR_SUCCESS) return;
        for (DWORD j = 0;; ++j) {
            result =
                OpenSubKeyByIndex(enumerator, j, KEY_ENUMERATE_SUB_KEYS, &device, &path.device);
            if (result == ERROR_NO_MORE_ITEMS) break;
            if (result != ERROR_SUCCESS) return;
            for (DWORD k = 0;; ++k) {
                result = OpenSubKeyByIndex(device, k, KEY_READ, &instance, &path.instance);
                if (result == ERROR_NO_MORE_ITEMS) break;
                if (result != ERROR_SUCCESS) return;
                if (AddDevice(instance, path) == Next::kEndWalk) return;
            }
        }
    }
}

// Adds one instance key's entry if it is a COM port of the Ports class. Its PORTNAME may
// also sit in the DEVICE PARAMETERS subkey; parallel ports of the class (LPT1) drop out
// by name.
CPortEnumerator::Next CPortEnumerator::AddDevice(HKEY instance, const DevicePath& path) {
    if (!IsPortClass(instance)) return Next::kDevice;

    LONG result = QueryValueAlloc(instance, "PORTNAME", &port_name_);
    if (result == ERROR_FILE_NOT_FOUND) {
        Key parameters;
        if (RegOpenKeyExA(instance, "DEVICE PARAMETERS", 0, KEY_READ, parameters.Receive()) !=
            ERROR_SUCCESS)
            return Next::kDevice;
        result = QueryValueAlloc(parameters, "PORTNAME", &port_name_);
    }
    if (result == ERROR_FILE_NOT_FOUND) return Next::kDevice;
    if (result != ERROR_SUCCESS) return Next::kEndWalk;
    if (_strnicmp(port_name_.data(), "COM", 3) != 0) return Next::kDevice;

    result = QueryValueAlloc(instance, "FRIENDLYNAME", &friendly_name_);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return Next::kEndWalk;
    if (target_ == nullptr) return Next::kDevice;
    std::optional<std::string> friendly_name;
    if (result == ERROR_SUCCESS) friendly_name = friendly_name_.data();
    target_->push_back(SerialPortNamed(port_name_.data(), std::move(friendly_name)));
    target_->back().usb = UsbIdentityOf(instance, path);
    return Next::kDevice;
}

// A USB port: vendor and product id from the device key's name; under the USB enumerator
// the serial number is the instance key's name unless Windows made that name up (such a
// name holds '&'); the location is what the device tree records for the device. That location
// names the hub and the port on it ("Port_#0004.Hub_#0001"), which a technician can
// match to a socket, unlike a location path that spells the whole bus topology.
std::optional<UsbIdentity> CPortEnumerator::UsbIdentityOf(HKEY instance, const DevicePath& path) {
    UsbIdentity usb;
    if (!ParseUsbIds(path.device, &usb)) return std::nullopt;
    if (_stricmp(path.enumerator.c_str(), "USB") == 0 &&
        path.instance.find('&') == std::string::npos)
        usb.serial_number = path.instance;
    if (QueryValueAlloc(instance, "LOCATIONINFORMATION", &location_) == ERROR_SUCCESS)
        usb.location = location_.data();
    return usb;
}

}  // namespace

std::vector<SerialPort> ListSerialPorts() {
    std::vector<SerialPort> ports;
    CPortEnumerator enumerator(&ports);
    enumerator.Enumerate();
    return ports;
}

}  // namespace k7
