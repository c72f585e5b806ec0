// The serial channel's platform seam. Exactly one backend is compiled in:
// serial_win32.cpp (overlapped Win32 I/O) or serial_posix.cpp (termios + poll).
//
// Contract shared by both backends:
//  - A device is opened at the given baud rate, 8 data bits, no parity, 1 stop bit, no
//    hardware or software flow control, with DTR and RTS raised.
//  - Each open device has one receiving thread of its own. It hands received bytes, in
//    arrival order and in blocks of at most kReceiveBlock bytes, to the registered
//    routine, always on that thread. Bytes that arrive before a routine is registered
//    are dropped.
//  - Operating-system errors are translated here; callers never see errno or
//    GetLastError().
#pragma once

#include <cstdint>
#include <string>

namespace k7 {

inline constexpr std::uint32_t kReceiveBlock = 64;

struct SerialDevice;

using ReceiveRoutine = void (*)(void* context, const std::uint8_t* bytes, std::uint32_t count);

// Why a device did not open, sorted out of the operating system's error.
enum class OpenFailure {
    kNone,
    kMissing,          // no such device
    kPermission,       // this user may not open it
    kBusy,             // another opener holds it
    kSettingsRefused,  // it opened, but took not the line settings (no serial port, say)
    kOther,
};

struct OpenError {
    OpenFailure failure = OpenFailure::kNone;
    std::string system_text;  // the operating system's own words for it
};

// Opens and configures the named device and starts its receiving thread. Returns null on
// any failure, having released everything it took, and then says why in `error` when
// one is given. Blocks only for the open itself.
SerialDevice* OpenSerialDevice(const std::string& name, std::uint32_t baud,
                               OpenError* error = nullptr);

// Every exchange waits for two threads to get a CPU: the device's receiving thread and
// the thread that sends and waits. The first asks for this itself; a caller whose thread
// does nothing but exchanges may ask for it too. Where the system allows, the calling
// thread then gets the CPU sooner when it wakes while others keep the CPUs busy;
// nothing changes where it does not.
void RaiseExchangePriority();

// Registers the routine that receives every later block, with a context passed back to
// it. Call at most once per open device, from the thread that opened it.
void SetReceiveCallback(SerialDevice* device, ReceiveRoutine routine, void* context);

// Hands `count` bytes to the device and returns without waiting for them to leave the
// line. The bytes are copied or written before it returns, so the caller may reuse its
// buffer. A failed write is not reported: the protocol sees the missing response.
void WritePort(SerialDevice* device, const std::uint8_t* bytes, std::uint32_t count);

// False once the device has gone away under us (unplugged, hung up); the receiving
// thread has then stopped.
bool DeviceConnected(const SerialDevice* device);

// Stops the receiving thread, waits for it to end, closes the device and frees it. The
// registered routine is never called after this returns. Null is accepted.
void CloseSerialDevice(SerialDevice* device);

}  // namespace k7
