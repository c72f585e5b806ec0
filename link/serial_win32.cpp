// Win32 backend of the serial channel: overlapped I/O on the COM port, a receiving thread
// that waits for a character event and then drains the input queue.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "link/serial.h"

namespace k7 {

struct SerialDevice {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
    OVERLAPPED wait{};   // the receiving thread's WaitCommEvent
    OVERLAPPED read{};   // the receiving thread's ReadFile
    OVERLAPPED write{};  // WritePort's WriteFileEx; no event, WriteFileEx ignores it
    std::vector<std::uint8_t> write_bytes;  // what the write in flight sends
    DWORD write_limit = 0;                  // how long the line may take for it, in ms
    std::atomic<bool> stop{false};
    std::atomic<bool> connected{true};
    // The opener holds the record, and so does the receiving thread while it runs; the
    // last to let go frees it. A thread that outlives the close (stuck in the routine)
    // then never touches freed memory, and the close need not wait for it.
    std::atomic<int> holders{1};
    std::atomic<bool> registered{false};
    ReceiveRoutine routine = nullptr;
    void* context = nullptr;
};

namespace {

// Write time-outs: the system gives up on a write after this constant plus so much per byte.
constexpr DWORD kWriteConstantMs = 1000;
constexpr DWORD kWritePerByteMs = 10;
// How long a close lets the receiving thread end after releasing its wait, and how long
// anything cancelled gets to finish.
constexpr DWORD kStopWaitMs = 100;
constexpr DWORD kCancelWaitMs = 1000;
// Wake-ups in a row that bring no byte before the device counts as gone. One now and then is
// normal (the bytes of an event were already drained); a device that has gone away can make
// the wait return at once, again and again.
constexpr unsigned kMaxIdleWakeups = 100;

enum class Outcome { kGoOn, kStopped, kGone };

void LetGo(SerialDevice* device) {
    if (device->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete device;
}

bool Stopping(const SerialDevice* device) {
    return device->stop.load(std::memory_order_acquire);
}

// What a failed wait or read means. Our own close cancels them. Wine ends every pending wait
// on a pseudo-terminal within milliseconds as cancelled, byte or not (it asks the terminal
// for modem lines, which a pty lacks), so a cancellation alone is no lost device. Any other
// failure is: with fAbortOnError off, only a device that has gone away fails these calls.
Outcome Failure(const SerialDevice* device, DWORD error) {
    if (Stopping(device)) return Outcome::kStopped;
    return error == ERROR_OPERATION_ABORTED ? Outcome::kGoOn : Outcome::kGone;
}

// Blocks until the next character event, or until the wait is released.
Outcome AwaitEvent(SerialDevice* device) {
    DWORD mask = 0;
    if (!WaitCommEvent(device->handle, &mask, &device->wait)) {
        DWORD unused = 0;
        if (GetLastError() != ERROR_IO_PENDING ||
            !GetOverlappedResult(device->handle, &device->wait, &unused, TRUE))
            return Failure(device, GetLastError());
    }
    return Stopping(device) ? Outcome::kStopped : Outcome::kGoOn;
}

// One read of at most one block; `count` is 0 when the input queue was empty.
Outcome ReadBlock(SerialDevice* device, std::uint8_t* buffer, DWORD* count) {
    *count = 0;
    BOOL done = ReadFile(device->handle, buffer, kReceiveBlock, count, &device->read);
    if (!done && GetLastError() == ERROR_IO_PENDING)
        done = GetOverlappedResult(device->handle, &device->read, count, TRUE);
    if (!done) return Failure(device, GetLastError());
    return Stopping(device) ? Outcome::kStopped : Outcome::kGoOn;
}

// Hands the input queue to the registered routine block by block until a read finds it
// empty; adds the number of bytes read to `received`.
Outcome DrainInput(SerialDevice* device, std::uint32_t* received) {
    std::uint8_t buffer[kReceiveBlock];
    for (;;) {
        // A close that gave up waiting may have closed the handle while the routine ran;
        // its number can already name another open.
        if (Stopping(device)) return Outcome::kStopped;
        DWORD count = 0;
        Outcome outcome = ReadBlock(device, buffer, &count);
        if (outcome != Outcome::kGoOn || count == 0) return outcome;
        *received += count;
        if (device->registered.load(std::memory_order_acquire))
            device->routine(device->context, buffer, count);
    }
}

// The queue is drained after every wake-up, whatever the event mask says, since under Wine a
// wait on a pseudo-terminal ends with an empty mask. Wine's reads then wait for the next
// byte instead of returning at once, so there the thread mostly sits in a read, which a
// close has to cancel.
DWORD WINAPI ReceiveThread(void* parameter) {
    auto* device = static_cast<SerialDevice*>(parameter);
    unsigned idle_wakeups = 0;
    Outcome outcome = Outcome::kGoOn;
    SetCommMask(device->handle, EV_RXCHAR);
    while (outcome == Outcome::kGoOn) {
        outcome = AwaitEvent(device);
        if (outcome != Outcome::kGoOn) break;
        // Re-arming clears what the wait left latched, before the drain: a byte that arrives
        // during the drain then sets the event anew.
        SetCommMask(device->handle, EV_RXCHAR);
        std::uint32_t received = 0;
        outcome = DrainInput(device, &received);
        idle_wakeups = received == 0 ? idle_wakeups + 1 : 0;
        if (outcome == Outcome::kGoOn && idle_wakeups == kMaxIdleWakeups) outcome = Outcome::kGone;
    }
    if (outcome == Outcome::kGone) device->connected.store(false, std::memory_order_release);
    LetGo(device);
    return 0;
}

// 8N1 at `baud`, no flow control, DTR and RTS raised; every other field as the driver has it.
bool ConfigureLine(HANDLE handle, std::uint32_t baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;  // zero bytes are data
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(handle, &dcb) != 0;
}

// Reads return at once with what has arrived, possibly nothing; a write may take its
// constant plus so much per byte.
bool SetTimeouts(HANDLE handle) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = kWritePerByteMs;
    timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

bool CreateEvents(SerialDevice* device) {
    device->read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    device->wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return device->read.hEvent != nullptr && device->wait.hEvent != nullptr;
}

bool StartReceiving(SerialDevice* device) {
    device->holders.fetch_add(1, std::memory_order_relaxed);
    device->thread = CreateThread(nullptr, 0, ReceiveThread, device, 0, nullptr);
    if (device->thread == nullptr) {
        device->holders.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    SetThreadPriority(device->thread, THREAD_PRIORITY_TIME_CRITICAL);
    return true;
}

// Closes every handle of the open; the record goes once the receiving thread, if any,
// has let go of it too.
void CloseHandles(SerialDevice* device) {
    if (device->handle != INVALID_HANDLE_VALUE) CloseHandle(device->handle);
    if (device->thread != nullptr) CloseHandle(device->thread);
    if (device->read.hEvent != nullptr) CloseHandle(device->read.hEvent);
    if (device->wait.hEvent != nullptr) CloseHandle(device->wait.hEvent);
}

void Release(SerialDevice* device) {
    CloseHandles(device);
    LetGo(device);
}

// WriteFileEx needs a routine: Wine calls a null one at the writer's next alertable wait, and
// crashes. Completion is read from the record instead.
void CALLBACK WriteDone(DWORD, DWORD, OVERLAPPED*) {}

bool WaitForWrite(SerialDevice* device, DWORD limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    while (!HasOverlappedIoCompleted(&device->write)) {
        if (GetTickCount64() >= deadline) return false;
        SleepEx(1, TRUE);
    }
    return true;
}

// Waits until the write last started on the record has ended, cancelling it once it is
// overdue. False when it still has not ended: the record and its bytes are then still in
// the system's hands. The alertable sleeps also run the completion routines of ended
// writes, which would otherwise pile up on the writing thread.
bool FinishWrite(SerialDevice* device) {
    SleepEx(0, TRUE);
    if (WaitForWrite(device, device->write_limit)) return true;
    CancelIoEx(device->handle, &device->write);
    return WaitForWrite(device, kCancelWaitMs);
}

// Ends the receiving thread: the cleared mask releases its wait; a read in progress (Wine's
// reads wait for data) needs a cancellation. False when the thread is stuck all the same.
bool StopReceiving(SerialDevice* device) {
    device->stop.store(true, std::memory_order_release);
    SetCommMask(device->handle, 0);
    if (WaitForSingleObject(device->thread, kStopWaitMs) == WAIT_OBJECT_0) return true;
    CancelIoEx(device->handle, &device->wait);
    CancelIoEx(device->handle, &device->read);
    return WaitForSingleObject(device->thread, kCancelWaitMs) == WAIT_OBJECT_0;
}

// What CreateFile's error means to the user. A COM port that another program has open
// answers "access denied": ports are not shared, and their access is not kept per user.
OpenFailure FailureOfCreate(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return OpenFailure::kMissing;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return OpenFailure::kBusy;
        default:
            return OpenFailure::kOther;
    }
}

// The system's message for an error code, without its line end.
std::string SystemText(DWORD code) {
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        --n;
    return n > 0 ? std::string(text, n) : "error " + std::to_string(code);
}

}  // namespace

SerialDevice* OpenSerialDevice(const std::string& name, std::uint32_t baud, OpenError* error) {
    auto* device = new SerialDevice;
    OpenFailure failure = OpenFailure::kNone;
    device->handle =
        CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device->handle == INVALID_HANDLE_VALUE)
        failure = FailureOfCreate(GetLastError());
    else if (!CreateEvents(device))
        failure = OpenFailure::kOther;
    else if (!ConfigureLine(device->handle, baud) || !SetTimeouts(device->handle))
        failure = OpenFailure::kSettingsRefused;
    else if (!StartReceiving(device))
        failure = OpenFailure::kOther;
    if (failure == OpenFailure::kNone) return device;
    const DWORD code = GetLastError();
    Release(device);
    if (error != nullptr) *error = {failure, SystemText(code)};
    return nullptr;
}

// Windows already boosts a thread that a wait releases, and the receiving thread runs
// time-critical. Under Wine a worker at THREAD_PRIORITY_HIGHEST made no difference
// beyond the update bench's spread from run to run, so the worker keeps its priority.
void RaiseExchangePriority() {}

void SetReceiveCallback(SerialDevice* device, ReceiveRoutine routine, void* context) {
    device->routine = routine;
    device->context = context;
    device->registered.store(true, std::memory_order_release);
}

// The bytes are copied into the device, whose one write record is reused only once the
// write before has ended.
void WritePort(SerialDevice* device, const std::uint8_t* bytes, std::uint32_t count) {
    if (!FinishWrite(device)) return;
    device->write_bytes.assign(bytes, bytes + count);
    device->write_limit = kWriteConstantMs + kWritePerByteMs * count;
    device->write = OVERLAPPED{};
    if (!WriteFileEx(device->handle, device->write_bytes.data(), count, &device->write, WriteDone))
        device->write = OVERLAPPED{};  // nothing was started; the record is free
}

bool DeviceConnected(const SerialDevice* device) {
    return device->connected.load(std::memory_order_acquire);
}

// A last write (the reset order, say) gets its time on the line before the handle closes.
// Every handle is closed even when the receiving thread does not end in time (it is stuck
// in the routine, say), so the port is free at once; that thread makes no more system
// calls on the handles and frees the record when it ends. A write the system still holds
// after its cancellation keeps the record alive, since the system writes its result there.
void CloseSerialDevice(SerialDevice* device) {
    if (device == nullptr) return;
    StopReceiving(device);
    const bool write_ended = FinishWrite(device);
    CloseHandles(device);
    if (write_ended) LetGo(device);
}

}  // namespace k7
