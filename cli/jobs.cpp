#include "cli/jobs.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/doctor.h"
#include "cli/job_result.h"
#include "cli/json.h"
#include "cli/live_lines.h"
#include "cli/log_file.h"
#include "cli/port_reason.h"
#include "cli/progress_bar.h"
#include "cli/signals.h"
#include "cli/terminal.h"
#include "link/link.h"
#include "log/log.h"
#include "ports/ports.h"
#include "update/firmware_update.h"
#include "update/update_worker.h"

namespace k7 {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kLiveRedraw{100};

void EndLogFile(PortJob& job) {
    if (job.log.file == nullptr) return;
    if (job.log.file->created()) job.log_path = job.log.file->path();
    job.log_lost = !job.log.file->Close();
}

// Every file is created before any receiver is touched, each as a new one.
bool CreateLogFiles(const std::string& dir, std::vector<std::unique_ptr<PortJob>>& jobs) {
    const std::string problem = LogDirProblem(dir);
    if (!problem.empty()) {
        std::fprintf(stderr, "korvel7: --log-dir %s: %s\n", Printable(dir).c_str(),
                     problem.c_str());
        return false;
    }
    const std::tm local = LocalTime(std::time(nullptr));
    for (auto& job : jobs)
        job->log.file = LogFile::Create(dir, LogFileStem(job->port.label, local));
    return true;
}

std::vector<LiveRow> LiveRows(const std::vector<std::unique_ptr<PortJob>>& jobs, JobKind kind) {
    std::vector<LiveRow> rows;
    for (const auto& job : jobs) {
        LiveRow row{job->port.label, {}, job->ended.load()};
        if (row.ended) {
            row.state = EndText(*job, kind);
        } else {
            std::lock_guard<std::mutex> lock(job->progress_mutex);
            row.state = ProgressBar::Render(job->progress, 0, Clock::now() - job->start);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// What went wrong outside the receiver's exchanges: the port did not open (and whether
// ModemManager may be why), the log was lost.
void ReportTrouble(const PortJob& job) {
    ReportOpenFailure(stderr, job.port, job.link.LastOpenError());
    HintModemManager(stderr, job.port, job.report.failure);
    if (job.log_lost)
        std::fprintf(stderr, "korvel7: log of %s to %s: %s\n", Printable(job.port.label).c_str(),
                     Printable(job.log.file->path()).c_str(), job.log.file->error().c_str());
}

}  // namespace

// With --quiet the one report outside the log still reaches standard output, unless that
// carries JSON.
void RunPortJob(PortJob& job, const JobOptions& options) {
    // This thread does nothing but the port's exchanges, and every answer wakes it.
    RaiseExchangePriority();
    const bool report_apart = options.quiet && !options.json;
    const ScopedLogRoute route({options.quiet && job.log.file == nullptr ? nullptr : &job.log,
                                report_apart ? nullptr : &job.log});
    UpdateSettings settings;
    settings.update.strict = options.strict;
    settings.update.skip_if_current = options.skip_if_current;
    settings.update.report = &job.report;
    settings.read_address = options.json || options.read_address;
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
            UpdateWorker(job.link, job.port, settings, end_bar);
            break;
        case JobKind::kInfo:
            InfoWorker(job.link, job.port, settings);
            break;
        case JobKind::kVerify:
            VerifyWorker(job.link, job.port, settings, end_bar);
            break;
    }
    EndLogFile(job);
    job.seconds = std::chrono::duration<double>(Clock::now() - job.start).count();
    job.ended = true;
}

int RunJobs(const std::vector<PortRef>& ports, const JobOptions& options) {
    const bool lone = ports.size() == 1;
    std::vector<std::unique_ptr<PortJob>> jobs;
    // JSON says who each receiver is: its port's USB identity as the system records it now.
    const std::vector<SerialPort> listed =
        options.json ? ListSerialPorts() : std::vector<SerialPort>{};
    for (const PortRef& port : ports) {
        jobs.push_back(std::make_unique<PortJob>());
        jobs.back()->port = port;
        jobs.back()->usb = ListedUsbIdentity(port, listed);
    }
    if (!options.log_dir.empty() && !CreateLogFiles(options.log_dir, jobs)) return kExitUsage;
    // Only what is drawn asks the terminal: on Windows asking turns on its escape codes.
    const TerminalInfo terminal =
        options.progress || !lone ? DescribeTerminal(stderr) : TerminalInfo{};

    // A lone port's log goes to the terminal as it comes, as it always has; several
    // ports' logs are shown whole, one after another, once all have ended.
    StdoutLogSink plain;
    std::unique_ptr<ProgressBar> bar;
    if (lone && !options.json && !options.quiet) {
        if (options.progress && terminal.redraws)
            bar = std::make_unique<ProgressBar>(
                stderr, stdout, IsTerminal(stdout) && IsTerminal(stderr), terminal.columns);
        jobs.front()->log.stream = bar ? static_cast<LogSink*>(bar.get()) : &plain;
        jobs.front()->bar = bar.get();
    }

    CatchStopRequests();
    std::vector<std::thread> threads;
    for (auto& job : jobs)
        job->start = Clock::now();
    for (auto& job : jobs)
        threads.emplace_back([&job, &options] { RunPortJob(*job, options); });

    LiveLines live(stderr, terminal);
    const bool show_live = !lone && options.progress;
    if (show_live) live.Draw(LiveRows(jobs, options.kind));
    std::atomic<bool> all_ended{false};
    std::thread watcher([&] {
        while (!all_ended.load()) {
            if (StopRequested())
                for (auto& job : jobs)
                    job->link.Cancel();
            if (show_live) live.Draw(LiveRows(jobs, options.kind));
            std::this_thread::sleep_for(kLiveRedraw);
        }
    });
    for (auto& thread : threads)
        thread.join();
    all_ended = true;
    watcher.join();
    ReleaseStopRequests();
    if (show_live) live.Draw(LiveRows(jobs, options.kind));

    std::vector<const JobResult*> results;
    std::vector<int> statuses;
    for (auto& job : jobs) {
        statuses.push_back(job->Status());
        if (options.json)
            WriteStdout(JsonLine(*job, options.kind));
        else if (!lone && !options.quiet)
            WriteStdout(job->log.capture.Text());
        ReportTrouble(*job);
        results.push_back(job.get());
    }
    if (!lone) PrintTable(stderr, results, options.kind, terminal.columns);
    // A job that did its work but lost its log has said so above.
    if (options.quiet)
        for (const auto& job : jobs)
            if (job->report.failure != Failure::kNone)
                std::fprintf(stderr, "korvel7: %s on %s\n", FailureText(*job, options.kind),
                             Printable(job->port.label).c_str());
    return OverallStatus(statuses);
}

}  // namespace k7
