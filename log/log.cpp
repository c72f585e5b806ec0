#include "log/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace k7 {

namespace {

std::atomic<LogSink*> g_sink{nullptr};
thread_local const LogRoute* t_route = nullptr;

}  // namespace

void WriteStream(std::FILE* stream, std::string_view text) {
    // The stream's error flag stays set after a failed write or flush.
    if (std::ferror(stream) != 0) return;
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void SetLogSink(LogSink* sink) {
    g_sink.store(sink, std::memory_order_release);
}

const LogRoute* CurrentLogRoute() {
    return t_route;
}

ScopedLogRoute::ScopedLogRoute(const LogRoute& route) : route_(route), previous_(t_route) {
    t_route = &route_;
}

ScopedLogRoute::~ScopedLogRoute() {
    t_route = previous_;
}

void LogPrintf(const char* format, ...) {
    LogSink* sink = t_route != nullptr ? t_route->log : g_sink.load(std::memory_order_acquire);
    if (sink == nullptr) return;

    char buffer[kLogMessageMax + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return;
    std::size_t length =
        static_cast<std::size_t>(n) < kLogMessageMax ? static_cast<std::size_t>(n) : kLogMessageMax;
    sink->Append(std::string_view(buffer, length));
}

void WriteStdout(std::string_view text) {
    LogSink* sink = t_route != nullptr ? t_route->report : nullptr;
    if (sink != nullptr)
        sink->Append(text);
    else
        WriteStream(stdout, text);
}

void CaptureLogSink::Append(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(text);
}

std::string CaptureLogSink::Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

}  // namespace k7
