#include "link/link.h"

#include <cstring>

#include "link/frame.h"
#include "link/serial.h"
#include "log/log.h"

namespace k7 {

namespace {

constexpr std::uint8_t kLineStart = '$';
constexpr std::uint8_t kLineEnd = 0x0A;
constexpr int kAttempts = 5;

}  // namespace

void Link::ReceiveInto(void* context, const std::uint8_t* bytes, std::uint32_t count) {
    auto* link = static_cast<Link*>(context);
    if (!link->route_) {
        link->OnReceive(bytes, count);
        return;
    }
    const ScopedLogRoute route(*link->route_);
    link->OnReceive(bytes, count);
}

Link::Link(LinkWaits waits) : waits_(waits) {}

Link::~Link() {
    CloseComPort();
}

int Link::OpenComPort(const PortRef& port) {
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        if (device_ != nullptr || Cancelled()) return 0;
    }
    port_ = port;
    OpenError error;
    SerialDevice* device = OpenSerialDevice(port.device, kBaudRate, &error);
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        open_error_ = error;
    }
    if (device == nullptr) {
        WriteStdout(port.label + " not found or busy\r\n");
        return 0;
    }
    ResetLineCount();
    route_.reset();
    if (const LogRoute* route = CurrentLogRoute()) route_ = *route;
    SetReceiveCallback(device, ReceiveInto, this);
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        device_ = device;
    }
    LogPrintf("%s Opened\r\n", port.label.c_str());
    return 1;
}

OpenError Link::LastOpenError() const {
    std::lock_guard<std::mutex> lock(port_mutex_);
    return open_error_;
}

int Link::CloseComPort() {
    SerialDevice* device;
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        device = device_;
        device_ = nullptr;
    }
    if (device == nullptr) return 0;
    CloseSerialDevice(device);
    return 1;
}

bool Link::PortOpen() const {
    std::lock_guard<std::mutex> lock(port_mutex_);
    return device_ != nullptr && DeviceConnected(device_) && !Cancelled();
}

// The response event wakes an exchange that is waiting now; the flag stops the ones after.
void Link::Cancel() {
    {
        std::lock_guard<std::mutex> lock(pause_mutex_);
        cancelled_.store(true, std::memory_order_release);
    }
    pause_cv_.notify_all();
    response_event_.Set();
}

bool Link::Pause(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(pause_mutex_);
    return !pause_cv_.wait_for(lock, duration, [this] { return Cancelled(); });
}

int Link::SendPacket(int code, const std::uint8_t* payload, std::uint32_t length) {
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        if (device_ == nullptr || Cancelled()) return 0;
    }
    if (length > 0 && payload == nullptr) {
        LogPrintf("<null>");
        return 0;
    }
    if (length > kMaxCommandPayload) {
        LogPrintf("<large>");
        return 0;
    }
    std::size_t size =
        BuildFrame(static_cast<std::uint8_t>(code), payload, length, transmit_frame_.data());

    std::lock_guard<std::mutex> lock(port_mutex_);
    if (device_ == nullptr || Cancelled()) return 0;
    WritePort(device_, transmit_frame_.data(), static_cast<std::uint32_t>(size));
    return 1;
}

// The response event is never reset here: a response that arrives after an exchange gave
// up leaves the event set, so the next exchange's first wait returns at once with no
// response recorded, counts as a failed attempt and is repeated. A cancel is no failed
// attempt: the exchange ends without a mark and its caller tells of the stop.
int Link::SendCommand(int code, const std::uint8_t* payload, std::uint32_t length) {
    ClearResponseState();
    const bool image_check = code == kCmdImageCheck;
    const int attempts = image_check ? 1 : kAttempts;
    const auto wait = image_check ? waits_.image_check : waits_.attempt;

    for (int attempt = 0; attempt < attempts; ++attempt) {
        SendPacket(code, payload, length);
        if (!Cancelled()) WaitForResponse(wait);
        if (ResponseState() != 0) return 1;
        if (Cancelled()) return 0;
        LogPrintf(".");
        if (!PortOpen()) return 0;
    }
    LogPrintf("x%d.%d ", code, ResponseState());
    return 0;
}

bool ReplyCheck::Accepts(const Response& reply) const {
    return (kind == kRspNone || reply.kind == kind) && (code < 0 || reply.data[0] == code) &&
           reply.length >= min_length && reply.length <= max_length;
}

// A cancel closes no port, so it is told apart first.
std::optional<Exchange> Link::Gone() const {
    if (Cancelled()) return Exchange::kStopped;
    if (!PortOpen()) return Exchange::kDeviceGone;
    return std::nullopt;
}

Exchange Link::Ask(int code, const std::uint8_t* payload, std::uint32_t length,
                   const ReplyCheck& wanted) {
    if (SendCommand(code, payload, length) != 0)
        return wanted.Accepts(LastResponse()) ? Exchange::kAnswered : Exchange::kOtherKind;
    return Gone().value_or(Exchange::kNoAnswer);
}

void Link::OnReceive(const std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i)
        ParseByte(bytes[i]);
}

// Frames take precedence over NMEA lines: 0x88 starts a frame even inside a line, and the
// interrupted line is counted at its LF after the frame.
void Link::ParseByte(std::uint8_t b) {
    if (in_frame_) {
        receive_buffer_[index_++] = b;
        if (index_ == 2 && b != kFrameSecond) {
            in_frame_ = false;
        } else if (index_ == 3) {
            frame_len_ = b;
        }
        if (in_frame_ && index_ == frame_len_ + 4) {
            ProcessFrame();
            in_frame_ = false;
        }
    } else if (b == kFrameStart) {
        receive_buffer_[0] = b;
        index_ = 1;
        frame_len_ = 0;
        in_frame_ = true;
    } else if (in_line_) {
        if (b == kLineEnd) {
            in_line_ = false;
            line_count_.fetch_add(1, std::memory_order_acq_rel);
        }
    } else if (b == kLineStart) {
        in_line_ = true;
    }
}

void Link::ProcessFrame() {
    const unsigned len = frame_len_;
    if (FrameSum(receive_buffer_.data(), len + 3) != receive_buffer_[len + 3]) return;

    const int kind = receive_buffer_[3];
    bool image_check_reply = false;
    bool signal;
    {
        std::lock_guard<std::mutex> lock(response_mutex_);
        switch (kind) {
            case kRspNone:
            case kRspNoData1:
            case kRspNoData2:
                response_.kind = kind;
                response_.length = 0;
                break;
            case kRspData:
                response_.kind = kind;
                response_.length = static_cast<int>(len);
                // The payload and the checksum byte after it.
                std::memcpy(response_.data.data(), &receive_buffer_[4], len);
                image_check_reply = response_.data[0] == kCmdImageCheck;
                break;
            case kRspReadBack:
                response_.kind = kind;
                response_.length = static_cast<int>(len) - 2;
                // The data follow four header bytes; only bytes of this frame are copied,
                // up to and including its checksum.
                if (len > 4 && read_back_target_ != nullptr)
                    std::memcpy(read_back_target_, &receive_buffer_[8], len - 4);
                break;
            default:
                break;
        }
        signal = response_.kind != 0;
    }
    if (image_check_reply) LogPrintf("fwUpdate rsp\r\n");
    if (signal) response_event_.Set();
}

Response Link::LastResponse() const {
    std::lock_guard<std::mutex> lock(response_mutex_);
    return response_;
}

int Link::ResponseState() const {
    return LastResponse().kind;
}

void Link::ClearResponseState() {
    std::lock_guard<std::mutex> lock(response_mutex_);
    response_.kind = kRspNone;
}

int Link::ResponseLength() const {
    return LastResponse().length;
}

std::array<std::uint8_t, 256> Link::ResponseData() const {
    return LastResponse().data;
}

void Link::SetReadBackTarget(std::uint8_t* target) {
    std::lock_guard<std::mutex> lock(response_mutex_);
    read_back_target_ = target;
}

std::unique_lock<std::mutex> Link::LockReadBack() const {
    return std::unique_lock<std::mutex>(response_mutex_);
}

}  // namespace k7
