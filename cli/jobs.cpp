#include "cli/jobs.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/port_reason.h"
#include "cli/progress_bar.h"
#include "cli/signals.h"
#include "link/link.h"
#include "log/log.h"
#include "service/address.h"
#include "update/firmware_update.h"
#include "update/update_worker.h"

namespace k7 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNotFound = 2;
constexpr std::chrono::milliseconds kLiveRedraw{100};

// A port's log: kept whole for the end, copied to its file and, for a lone port, passed
// on to the terminal as it comes.
class JobLog final : public LogSink {
public:
    void Append(std::string_view text) override {
        capture.Append(text);
        if (file != nullptr) {
            std::fwrite(text.data(), 1, text.size(), file);
            std::fflush(file);
        }
        if (stream != nullptr) stream->Append(text);
    }

    CaptureLogSink capture;
    std::FILE* file = nullptr;
    LogSink* stream = nullptr;
};

struct Job {
    PortRef port;
    Link link;
    JobLog log;
    RunReport report;
    std::array<std::uint8_t, 6> address{};
    bool address_read = false;
    UpdateOutcome outcome = UpdateOutcome::kNotFound;
    int status = kExitNotFound;
    double seconds = 0;
    std::mutex progress_mutex;
    UpdateProgress progress;
    Clock::time_point start;
    ProgressBar* bar = nullptr;  // a lone port's bar
};

int StatusOf(UpdateOutcome outcome) {
    switch (outcome) {
        case UpdateOutcome::kSucceeded:
            return kExitOk;
        case UpdateOutcome::kFailed:
            return kExitFailed;
        case UpdateOutcome::kNotFound:
            break;
    }
    return kExitNotFound;
}

// What `info` tells: the version, the device address and the image `program` would
// install. Nothing that erases, writes, checks or resets is sent, and nothing at all once
// the job is stopped.
UpdateOutcome InfoWorker(Job& job, const UpdateSettings& settings) {
    LogPrintf("\r\nEntered COM PORT : %s\r\n", job.port.label.c_str());
    ProgressTracker progress(settings.progress, 0, settings.probe_wait, {});
    if (!DetectKorvel7(job.link, job.port, settings, progress)) {
        if (job.link.Cancelled()) return UpdateOutcome::kFailed;
        LogPrintf("KORVEL7 not found\r\n");
        return UpdateOutcome::kNotFound;
    }
    const auto stopped = [&job](const char* step, const char* what) {
        LogStopped(job.report, step, what);
        job.link.CloseComPort();
        return UpdateOutcome::kFailed;
    };
    FirmwareVersion version;
    bool answered = QueryFirmwareVersion(job.link, &version);
    if (!answered && job.link.Cancelled())
        return stopped(PhaseName(UpdatePhase::kVersion), "while reading the version");
    if (answered) {
        job.report.version = version;
        LogPrintf("Existing FW version: %u.%u.%u\r\n", unsigned{version.major},
                  unsigned{version.minor}, unsigned{version.patch});
    } else {
        LogPrintf("fail to get existing firmware version.\r\n");
        job.report.failed_step = "version";
    }
    job.address_read = QueryDeviceAddress(job.link, &job.address);
    if (!job.address_read && job.link.Cancelled())
        return stopped("address", "while reading the address");
    if (job.address_read) {
        const auto& a = job.address;
        LogPrintf("Device address: %02X:%02X:%02X:%02X:%02X:%02X\r\n", unsigned{a[0]},
                  unsigned{a[1]}, unsigned{a[2]}, unsigned{a[3]}, unsigned{a[4]}, unsigned{a[5]});
    } else if (answered) {
        job.report.failed_step = "address";
    }
    answered = answered && job.address_read;
    job.link.CloseComPort();
    if (job.report.version) {
        const auto image = ImageFor(*settings.images, version, &job.report.image);
        if (image.empty()) {
            LogPrintf("NOT supported firmware version! program would refuse it\r\n");
        } else {
            job.report.image_size = static_cast<std::uint32_t>(image.size());
            LogPrintf("program would install image %c: %u bytes, sum %04x\r\n", job.report.image,
                      job.report.image_size, unsigned{ImageCheckSum(image)});
        }
    }
    return answered ? UpdateOutcome::kSucceeded : UpdateOutcome::kFailed;
}

// With --quiet the one report outside the log still reaches standard output, unless that
// carries JSON.
void RunJob(Job& job, const JobOptions& options) {
    // This thread does nothing but the port's exchanges, and every answer wakes it.
    RaiseExchangePriority();
    const bool report_apart = options.quiet && !options.json;
    const ScopedLogRoute route({options.quiet && job.log.file == nullptr ? nullptr : &job.log,
                                report_apart ? nullptr : &job.log});
    UpdateSettings settings;
    settings.update.strict = options.strict;
    settings.update.skip_if_current = options.skip_if_current;
    settings.update.report = &job.report;
    settings.progress = [&job](const UpdateProgress& progress) {
        if (job.bar != nullptr) job.bar->Update(progress);
        std::lock_guard<std::mutex> lock(job.progress_mutex);
        job.progress = progress;
    };
    // The bar's line ends before the outcome line, and nothing draws it after.
    const auto end_bar = [&job] {
        if (job.bar != nullptr) job.bar->Finish();
    };
    switch (options.kind) {
        case JobKind::kProgram:
            job.outcome = UpdateWorker(job.link, job.port, settings, end_bar);
            break;
        case JobKind::kInfo:
            job.outcome = InfoWorker(job, settings);
            break;
        case JobKind::kVerify:
            job.outcome = VerifyWorker(job.link, job.port, settings, end_bar);
            break;
    }
    job.status = StatusOf(job.outcome);
    job.seconds = std::chrono::duration<double>(Clock::now() - job.start).count();
}

// "/dev/ttyACM0" -> "dev-ttyACM0", "\\.\COM12" -> "COM12".
std::string FileNameFor(const std::string& label) {
    std::string name;
    for (char c : label) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                           (c >= 'a' && c <= 'z') || c == '_' || c == '-';
        if (plain)
            name += c;
        else if (!name.empty() && name.back() != '-')
            name += '-';
    }
    while (!name.empty() && name.back() == '-')
        name.pop_back();
    return name.empty() ? "port" : name;
}

std::FILE* OpenLogFile(const std::string& dir, const std::string& label) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string path = dir + "/" + FileNameFor(label) + "-" + stamp + ".log";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        std::fprintf(stderr, "korvel7: cannot write the log of %s to %s\n", label.c_str(),
                     path.c_str());
    return file;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x",
                          unsigned{static_cast<unsigned char>(c)});
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string VersionText(const RunReport& report) {
    if (!report.version) return "";
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u", unsigned{report.version->major},
                  unsigned{report.version->minor}, unsigned{report.version->patch});
    return text;
}

std::string ResultText(const Job& job, JobKind kind) {
    if (job.outcome == UpdateOutcome::kNotFound) return "not found";
    const bool ok = job.outcome == UpdateOutcome::kSucceeded;
    switch (kind) {
        case JobKind::kProgram:
            return !ok ? "failed" : job.report.unchanged ? "unchanged" : "updated";
        case JobKind::kInfo:
            return ok ? "answered" : "failed";
        case JobKind::kVerify:
            if (ok) return "matches";
            return job.report.failed_step == "compare" && !job.report.stopped ? "differs"
                                                                              : "failed";
    }
    return "failed";
}

// What --quiet says on standard error of a port that did not succeed.
const char* FailureText(const Job& job, JobKind kind) {
    if (job.outcome == UpdateOutcome::kNotFound) return "KORVEL7 not found";
    switch (kind) {
        case JobKind::kProgram:
            return "update not successful";
        case JobKind::kInfo:
            return "no complete answer";
        case JobKind::kVerify:
            break;
    }
    return "verify not successful";
}

std::string JsonLine(const Job& job, JobKind kind) {
    const RunReport& r = job.report;
    auto or_null = [](const std::string& text) { return text.empty() ? "null" : JsonString(text); };
    std::string line = "{\"port\":" + JsonString(job.port.label) + ",\"found\":" +
                       (job.outcome != UpdateOutcome::kNotFound ? "true" : "false") +
                       ",\"version_before\":" + or_null(VersionText(r)) +
                       ",\"image\":" + or_null(r.image != 0 ? std::string(1, r.image) : "") +
                       ",\"bytes_written\":" + std::to_string(r.bytes_written);
    if (kind == JobKind::kInfo) {
        char address[24] = "";
        if (job.address_read)
            std::snprintf(address, sizeof address, "%02X:%02X:%02X:%02X:%02X:%02X",
                          unsigned{job.address[0]}, unsigned{job.address[1]},
                          unsigned{job.address[2]}, unsigned{job.address[3]},
                          unsigned{job.address[4]}, unsigned{job.address[5]});
        line += ",\"address\":" + or_null(address);
    }
    if (kind == JobKind::kVerify) line += ",\"differences\":" + std::to_string(r.differences);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", job.seconds);
    line += ",\"result\":" + JsonString(ResultText(job, kind)) +
            ",\"failed_step\":" + or_null(job.status == kExitOk ? "" : r.failed_step) +
            ",\"duration_s\":" + seconds + ",\"exit_status\":" + std::to_string(job.status) + "}\n";
    return line;
}

// One line per port on standard error, redrawn in place while the jobs run.
class LiveLines {
public:
    explicit LiveLines(std::vector<std::unique_ptr<Job>>& jobs) : jobs_(jobs) {}

    void Draw(bool first) {
        std::string text;
        if (!first) text = "\x1b[" + std::to_string(jobs_.size()) + "A";
        for (const auto& job : jobs_) {
            UpdateProgress progress;
            {
                std::lock_guard<std::mutex> lock(job->progress_mutex);
                progress = job->progress;
            }
            const auto elapsed = Clock::now() - job->start;
            text += "\r\x1b[K" + job->port.label + "  " +
                    ProgressBar::Render(progress, 0, elapsed) + "\n";
        }
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }

private:
    std::vector<std::unique_ptr<Job>>& jobs_;
};

void PrintTable(const std::vector<std::unique_ptr<Job>>& jobs, JobKind kind) {
    std::fprintf(stderr, "%-16s %-9s %-6s %-10s %s\n", "port", "version", "image", "result",
                 "duration");
    for (const auto& job : jobs) {
        const std::string version = VersionText(job->report);
        const std::string image = job->report.image != 0 ? std::string(1, job->report.image) : "-";
        std::fprintf(stderr, "%-16s %-9s %-6s %-10s %.1f s\n", job->port.label.c_str(),
                     version.empty() ? "-" : version.c_str(), image.c_str(),
                     ResultText(*job, kind).c_str(), job->seconds);
    }
}

int OverallStatus(const std::vector<std::unique_ptr<Job>>& jobs) {
    bool all_ok = true;
    bool none_found = true;
    for (const auto& job : jobs) {
        all_ok = all_ok && job->status == kExitOk;
        none_found = none_found && job->outcome == UpdateOutcome::kNotFound;
    }
    return all_ok ? kExitOk : none_found ? kExitNotFound : kExitFailed;
}

}  // namespace

int RunJobs(const std::vector<PortRef>& ports, const JobOptions& options) {
    const bool lone = ports.size() == 1;
    std::vector<std::unique_ptr<Job>> jobs;
    for (const PortRef& port : ports) {
        jobs.push_back(std::make_unique<Job>());
        jobs.back()->port = port;
        if (!options.log_dir.empty())
            jobs.back()->log.file = OpenLogFile(options.log_dir, port.label);
    }

    // A lone port's log goes to the terminal as it comes, as it always has; several
    // ports' logs are shown whole, one after another, once all have ended.
    StdoutLogSink plain;
    std::unique_ptr<ProgressBar> bar;
    if (lone && !options.json && !options.quiet) {
        if (options.progress)
            bar = std::make_unique<ProgressBar>(stderr, stdout,
                                                IsTerminal(stdout) && IsTerminal(stderr));
        jobs.front()->log.stream = bar ? static_cast<LogSink*>(bar.get()) : &plain;
        jobs.front()->bar = bar.get();
    }

    CatchStopRequests();
    std::vector<std::thread> threads;
    for (auto& job : jobs)
        job->start = Clock::now();
    for (auto& job : jobs)
        threads.emplace_back([&job, &options] { RunJob(*job, options); });

    LiveLines live(jobs);
    const bool show_live = !lone && options.progress;
    if (show_live) live.Draw(true);
    std::atomic<bool> all_ended{false};
    std::thread watcher([&] {
        while (!all_ended.load()) {
            if (StopRequested())
                for (auto& job : jobs)
                    job->link.Cancel();
            if (show_live) live.Draw(false);
            std::this_thread::sleep_for(kLiveRedraw);
        }
    });
    for (auto& thread : threads)
        thread.join();
    all_ended = true;
    watcher.join();
    ReleaseStopRequests();
    if (show_live) live.Draw(false);

    for (auto& job : jobs) {
        if (job->log.file != nullptr) std::fclose(job->log.file);
        if (options.json)
            WriteStdout(JsonLine(*job, options.kind));
        else if (!lone && !options.quiet)
            WriteStdout(job->log.capture.Text());
        ReportOpenFailure(stderr, job->port, job->link.LastOpenError());
    }
    if (!lone) PrintTable(jobs, options.kind);
    if (options.quiet)
        for (const auto& job : jobs)
            if (job->status != kExitOk)
                std::fprintf(stderr, "korvel7: %s on %s\n", FailureText(*job, options.kind),
                             job->port.label.c_str());
    return OverallStatus(jobs);
}

}  // namespace k7
