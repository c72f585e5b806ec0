// The jobs `korvel7 program`, `info` and `verify` run on one or more ports at once. Each
// port gets a thread, a link and a log of its own: a failure, hang-up or unplug on one
// port never stops, slows or garbles another, and Ctrl-C cancels them all, each ending
// with its own failure.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/job_result.h"
#include "cli/log_file.h"
#include "link/link.h"
#include "link/port.h"
#include "log/log.h"
#include "update/progress.h"

namespace k7 {

struct JobOptions {
    JobKind kind = JobKind::kProgram;
    bool quiet = false;
    bool progress = false;  // a bar (one port) or a live line per port, on standard error
    bool strict = false;
    bool skip_if_current = false;
    bool json = false;    // one JSON object per port on standard output instead of the log
    std::string log_dir;  // when set, each port's whole log goes to a file of its own there
    // Reads the receiver's device address for a record that names it, without a log line;
    // JSON always does.
    bool read_address = false;
};

class ProgressBar;

// A port's log: kept whole for the end, copied to its file and, for a lone port, passed
// on to the terminal as it comes.
class JobLog final : public LogSink {
public:
    void Append(std::string_view text) override {
        capture.Append(text);
        if (file != nullptr) file->Write(text);
        if (stream != nullptr) stream->Append(text);
    }

    CaptureLogSink capture;
    std::unique_ptr<LogFile> file;
    LogSink* stream = nullptr;
};

// One port's job and what it ended with.
struct PortJob : JobResult {
    Link link;
    JobLog log;
    std::mutex progress_mutex;
    UpdateProgress progress;
    std::chrono::steady_clock::time_point start;
    std::atomic<bool> ended{false};
    ProgressBar* bar = nullptr;  // a lone port's bar
};

// Runs the job on its port on the calling thread, from its start time set by the caller,
// and closes its log file.
void RunPortJob(PortJob& job, const JobOptions& options);

// Runs the job on every port and returns the exit status: 0 when every port succeeded, 2
// when no receiver was found on any, 1 otherwise.
int RunJobs(const std::vector<PortRef>& ports, const JobOptions& options);

}  // namespace k7
