// The serial device link: one COM port channel with its receive parser and the
// send-and-wait exchange built on it.
//
// Threads: a worker thread opens, sends, waits and closes; the port's receiving thread
// runs OnReceive. The response values are written by the receiving thread before it
// signals the response event and are read by the worker after its wait returns; a mutex
// makes each read and write whole, so a late response can never tear a value.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "link/event.h"
#include "link/port.h"
#include "link/serial.h"
#include "log/log.h"

namespace k7 {

struct SerialDevice;

inline constexpr std::uint32_t kBaudRate = 115200;
// 8N1 puts ten bits on the line for every byte.
inline constexpr std::uint32_t kLineBytesPerSecond = kBaudRate / 10;

// Command codes sent to the receiver.
enum Command : std::uint8_t {
    kCmdWriteChunk = 4,    // hi, lo of offset/16, n, n bytes
    kCmdReadChunk = 5,     // hi, lo of offset/16, n; answered by a kind-4 frame
    kCmdEraseBlock = 6,    // hi, lo of the 4096-byte block's offset/16
    kCmdImageCheck = 7,    // selector, size (3 bytes), sum (2 bytes); also the reset order
    kCmdWriteAddress = 8,  // 00 19 01, three address bytes, 5C
    kCmdProbe = 9,         // no payload, no answer awaited
    kCmdVersion = 27,      // no payload; answered by a kind-3 frame 27, major, minor, patch
    kCmdReadAddress = 200  // no payload; answered by a kind-3 frame 200, x, x, x, a4, a5, a6
};

// Response kinds (the code byte of a frame from the receiver).
enum ResponseKind : int {
    kRspNone = 0,
    // Replies that carry no data; the updater takes either only as an answer.
    kRspNoData1 = 1,
    kRspNoData2 = 2,
    kRspData = 3,      // payload and checksum kept in ResponseData
    kRspReadBack = 4,  // 4 header bytes, then the data copied to the read-back target
};

// One accepted response as the parser left it, read whole.
struct Response {
    int kind = kRspNone;  // kRspNone when none came
    int length = 0;       // kind 3: LEN (the payload and its checksum); kind 4: LEN - 2
    std::array<std::uint8_t, 256> data{};  // kind 3: the payload, then its checksum
};

// How one exchange ended, so that its caller need not ask the link again why.
enum class Exchange {
    kAnswered,    // a reply came, of the kind asked for
    kNoAnswer,    // nothing usable came in all its tries
    kStopped,     // Link::Cancel ended it
    kDeviceGone,  // the port is closed or its device went away
    kOtherKind,   // a reply came, but not the one asked for (kind, code or length)
};

// The reply a caller asked for: its kind, the command code a data reply starts with, and
// the range of its recorded length (Response::length, so a data reply's checksum counts).
struct ReplyCheck {
    int kind = kRspNone;  // kRspNone: any reply
    int code = -1;        // -1: any
    int min_length = 0;
    int max_length = 256;

    bool Accepts(const Response& reply) const;
};

// How long an exchange waits for its response. The product uses the defaults; tests may
// shorten them.
struct LinkWaits {
    std::chrono::milliseconds attempt{200};       // per attempt, 5 attempts
    std::chrono::milliseconds image_check{4000};  // command 7, 1 attempt
};

class Link {
public:
    explicit Link(LinkWaits waits = {});
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Opens the port at 115200 8N1 and starts receiving; what the port's receiving thread
    // logs takes the route of the calling thread. On failure writes
    // "<port> not found or busy\r\n" to standard output and returns 0; on success logs
    // "<port> Opened\r\n" and returns 1. Call only while no port is open.
    int OpenComPort(const PortRef& port);
    // Why the last OpenComPort failed; failure kNone after one that succeeded.
    OpenError LastOpenError() const;
    int OpenComPort(int number) { return OpenComPort(PortFromNumber(number)); }
    // 1 when a port was closed, 0 when none was open.
    int CloseComPort();
    // The channel test: false once the port is closed, its device has gone away or the
    // link was cancelled.
    bool PortOpen() const;

    // Asks whatever runs on this link to stop soon, from any thread: the exchange under
    // way and every later one fail at once, Pause returns early and no port opens any
    // more. The port itself is closed by the thread that opened it, never from here, so
    // the caller never waits on the receiving thread. Lasts for the life of the link.
    void Cancel();
    bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }
    // Waits for `duration`, or less when the link is cancelled; false when it was.
    bool Pause(std::chrono::milliseconds duration);

    // Builds one command frame and writes it; 1 when handed to the port, 0 otherwise.
    int SendPacket(int code, const std::uint8_t* payload, std::uint32_t length);
    // Sends and waits for any accepted response, with retries; 1 when one came. Each try
    // that fails logs ".", and the last "x<code>.<kind> "; a cancelled link logs nothing.
    int SendCommand(int code, const std::uint8_t* payload, std::uint32_t length);

    // Why no exchange can take place now: kStopped after Cancel, kDeviceGone once the port
    // is closed or its device went away; nothing while the port is usable.
    std::optional<Exchange> Gone() const;
    // SendCommand, with the reply checked against `wanted` and the end told by its kind.
    Exchange Ask(int code, const std::uint8_t* payload, std::uint32_t length,
                 const ReplyCheck& wanted = {});

    // The receive routine: parses every byte in order.
    void OnReceive(const std::uint8_t* bytes, std::uint32_t count);
    void ParseByte(std::uint8_t b);

    // A caller that needs more than one of the values takes them from one snapshot, so
    // a late frame cannot change one between the reads.
    Response LastResponse() const;
    int ResponseState() const;
    void ClearResponseState();
    int ResponseLength() const;
    std::array<std::uint8_t, 256> ResponseData() const;

    // Where the data of the next kind-4 responses land; the caller must provide room
    // for every byte such a response can carry (kMaxReadBackCopy).
    void SetReadBackTarget(std::uint8_t* target);
    // Held while reading memory at the read-back target, so that a late response cannot
    // write into it at the same moment.
    std::unique_lock<std::mutex> LockReadBack() const;

    int LineCount() const { return line_count_.load(std::memory_order_acquire); }
    void ResetLineCount() { line_count_.store(0, std::memory_order_release); }

    const std::string& PortLabel() const { return port_.label; }

private:
    static void ReceiveInto(void* link, const std::uint8_t* bytes, std::uint32_t count);
    void ProcessFrame();
    bool WaitForResponse(std::chrono::milliseconds timeout) {
        return response_event_.Wait(timeout);
    }

    const LinkWaits waits_;
    // The route of the thread that opened the port, for what its receiving thread logs.
    std::optional<LogRoute> route_;

    mutable std::mutex port_mutex_;  // guards device_ against a close during a write
    SerialDevice* device_ = nullptr;
    OpenError open_error_;  // guarded by port_mutex_ too
    PortRef port_;

    std::array<std::uint8_t, 256> transmit_frame_{};

    // Receive parser; touched only by the receiving thread (or a test feeding bytes).
    std::array<std::uint8_t, 4096> receive_buffer_{};
    bool in_frame_ = false;
    bool in_line_ = false;
    unsigned index_ = 0;
    unsigned frame_len_ = 0;

    std::atomic<int> line_count_{0};

    std::atomic<bool> cancelled_{false};
    std::mutex pause_mutex_;
    std::condition_variable pause_cv_;

    mutable std::mutex response_mutex_;
    Response response_;
    std::uint8_t* read_back_target_ = nullptr;
    AutoResetEvent response_event_;
};

// The most bytes one kind-4 response copies to the read-back target.
inline constexpr std::size_t kMaxReadBackCopy = 255 - 4;

}  // namespace k7
