// The message log: every part of the tool reports through LogPrintf. A message is
// formatted in the caller's own buffer and handed whole to one sink, the calling thread's
// route's when it has one and else the registered one, so text from concurrent callers
// never mixes inside a message. Messages carry their own line ends ("\r\n"); many are
// fragments that the next message continues.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace k7 {

// Longest message in characters; longer ones are cut to this length.
inline constexpr std::size_t kLogMessageMax = 2047;

class LogSink {
public:
    virtual ~LogSink() = default;
    // Called on the logging thread, possibly from several threads at once.
    virtual void Append(std::string_view text) = 0;
};

// Registers the sink that receives every message from now on; null drops them. The sink
// must stay alive until no thread can log any more.
void SetLogSink(LogSink* sink);

// Where one thread's messages and its report (WriteStdout) go: a job that runs beside
// others on a thread of its own gives it a route while it runs, and the link carries the
// route on to its port's receiving thread. A null log sink drops the messages; a null
// report sink leaves the report on standard output.
struct LogRoute {
    LogSink* log = nullptr;
    LogSink* report = nullptr;
};

// The calling thread's route; null when it has none: the registered sink takes the
// messages and standard output the report.
const LogRoute* CurrentLogRoute();

// Gives the calling thread `route` for as long as it lives.
class ScopedLogRoute {
public:
    explicit ScopedLogRoute(const LogRoute& route);
    ~ScopedLogRoute();
    ScopedLogRoute(const ScopedLogRoute&) = delete;
    ScopedLogRoute& operator=(const ScopedLogRoute&) = delete;

private:
    LogRoute route_;
    const LogRoute* previous_;
};

// MinGW formats with its own C99 printf, not the system's; check against that one.
#if defined(__MINGW32__)
#define K7_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define K7_PRINTF_FORMAT printf
#endif

void LogPrintf(const char* format, ...) __attribute__((format(K7_PRINTF_FORMAT, 1, 2)));

// Collects every message, for callers that want the log as one text.
class CaptureLogSink final : public LogSink {
public:
    void Append(std::string_view text) override;
    std::string Text() const;

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// Writes text to `stream` and flushes it. Once a write to a stream has failed (a pipe whose
// reader has gone, a terminal that was closed) the stream is left alone: what nobody can
// read any more is dropped, never retried, and never stops the caller.
void WriteStream(std::FILE* stream, std::string_view text);

// Opens the null device on each of descriptors 0, 1 and 2 that is closed. A program started
// with one of them closed would otherwise hand that number to the next file it opens (a
// serial port, a log file), and whatever it writes to standard output would land there.
// Call first thing in main, before any thread starts.
void OpenClosedStandardDescriptors();

// Writes text to standard output at once, bypassing the log: the one report that does
// not go to the log ("PORT not found or busy"). The calling thread's route may name a
// sink for it instead (a job's own log, around a progress bar that makes room for it).
void WriteStdout(std::string_view text);

}  // namespace k7
