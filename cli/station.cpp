#include "cli/station.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/about.h"
#include "cli/doctor.h"
#include "cli/json.h"
#include "cli/ledger.h"
#include "cli/live_lines.h"
#include "cli/log_file.h"
#include "cli/port_reason.h"
#include "cli/progress_bar.h"
#include "cli/signals.h"
#include "cli/terminal.h"
#include "ports/watcher.h"
#include "update/update_worker.h"

namespace k7 {

namespace {

using Clock = std::chrono::steady_clock;

// The live lines are redrawn this often while a job runs. Otherwise the loop sleeps until
// a port comes or goes, a job ends or a stop is asked for: an idle station costs nothing.
constexpr std::chrono::milliseconds kRedrawInterval{100};
// A receiver that came back from its reset may take a moment before it answers.
constexpr int kVersionAfterTries = 3;
constexpr std::chrono::milliseconds kVersionAfterPause{500};

enum class Outcome { kUpdated, kUnchanged, kFailed, kNotKorvel7 };
constexpr const char* kOutcomeText[] = {"updated", "unchanged", "failed", "not a KORVEL7"};

// A port that opened but where no receiver answered the probe holds something else; one
// that did not open is a failure an operator must look at.
Outcome OutcomeOf(const StationJob& job) {
    const RunReport& r = job.report;
    if (r.failure == Failure::kNotFound && r.failed_step == Step::kProbe)
        return Outcome::kNotKorvel7;
    if (job.Status() != kExitOk) return Outcome::kFailed;
    return r.unchanged ? Outcome::kUnchanged : Outcome::kUpdated;
}

std::string VersionString(const std::optional<FirmwareVersion>& version) {
    RunReport report;
    report.version = version;
    return VersionText(report);
}

// "[PASS] updated 2.4.5 -> 2.4.6  31.2 s", "[FAIL] failed at erase  4.0 s": what the
// operator reads from afar, first.
std::string EndLine(const StationJob& job) {
    const Outcome outcome = OutcomeOf(job);
    std::string text = outcome == Outcome::kFailed       ? "[FAIL] "
                       : outcome == Outcome::kNotKorvel7 ? "[----] "
                                                         : "[PASS] ";
    text += kOutcomeText[static_cast<int>(outcome)];
    if (outcome == Outcome::kFailed && job.report.failed_step != Step::kNone)
        text.append(" at ").append(StepName(job.report.failed_step));
    if (outcome == Outcome::kUpdated && job.report.version && job.version_after)
        text.append(" ")
            .append(VersionText(job.report))
            .append(" -> ")
            .append(VersionString(job.version_after));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "  %.1f s", job.seconds);
    return text + seconds;
}

std::string UtcNow() {
    const std::tm utc = UtcTime(std::time(nullptr));
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A slot is a place a receiver is plugged into. It is armed while nothing is plugged in
// there, runs one job per plug, and then rests until the port goes away.
struct Slot {
    enum class Phase { kArmed, kRunning, kResting };
    Phase phase = Phase::kArmed;
    bool present = false;
    unsigned departures = 0;            // how often the port went away
    StationJob* job = nullptr;          // the job under way, or the last one
    unsigned counts[4] = {0, 0, 0, 0};  // finished jobs by Outcome
};

class Station {
public:
    Station(const StationOptions& options, Ledger* ledger, const TerminalInfo& terminal)
        : options_(options),
          ledger_(ledger),
          terminal_(terminal),
          live_(stderr, terminal),
          host_(HostName()),
          watcher_(options_.patterns) {}

    // Ends the loop's wait, so that it looks at once at what changed; safe from a signal
    // handler.
    void Wake() { watcher_.Wake(); }

    int Run() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const std::string& port : watcher_.initial()) {
                Slot& slot = slots_[port];
                slot.present = true;
                slot.phase = Slot::Phase::kResting;
                if (options_.include_present) Start(port, slot);
            }
        }
        Event("watching for receivers; Ctrl-C ends the station");
        bool redrawing = false;
        while (!StopRequested()) {
            const PortChanges changes = watcher_.Wait(redrawing ? kRedrawInterval : kWaitForever);
            std::lock_guard<std::mutex> lock(mutex_);
            for (const std::string& port : changes.disappeared)
                Departed(port);
            for (const std::string& port : changes.appeared)
                Arrived(port);
            Reap();
            redrawing = live() && !threads_.empty();
            if (live()) live_.Draw(Rows());
        }
        StopAll();
        if (live()) live_.Draw(Rows());
        return Summary();
    }

private:
    bool live() const { return terminal_.redraws && !options_.job.quiet; }

    // Lines of events go to standard output unless it carries JSON or the live lines
    // already show them on the same terminal.
    void Event(const std::string& text) {
        if (options_.job.json || options_.job.quiet || (live() && IsTerminal(stdout))) return;
        std::lock_guard<std::mutex> lock(output_mutex_);
        WriteStdout(text + "\n");
    }

    void Arrived(const std::string& port) {
        Slot& slot = slots_[port];
        slot.present = true;
        if (slot.phase == Slot::Phase::kArmed) Start(port, slot);
        changed_.notify_all();
    }

    void Departed(const std::string& port) {
        Slot& slot = slots_[port];
        slot.present = false;
        ++slot.departures;
        if (slot.phase == Slot::Phase::kResting) slot.phase = Slot::Phase::kArmed;
        changed_.notify_all();
    }

    // Called with the lock held.
    void Start(const std::string& port, Slot& slot) {
        jobs_.push_back(std::make_unique<StationJob>());
        StationJob& job = *jobs_.back();
        job.slot = port;
        ParsePortArgument(port, &job.port);
        job.usb = ListedUsbIdentity(job.port, ListSerialPorts());
        job.start = Clock::now();
        slot.phase = Slot::Phase::kRunning;
        slot.job = &job;
        const unsigned departures = slot.departures;
        threads_.emplace(&job, std::thread([this, &job, departures] { Work(job, departures); }));
        Event(Printable(port) + ": appeared; probing");
    }

    void Work(StationJob& job, unsigned departures) {
        if (!options_.job.log_dir.empty())
            job.log.file = LogFile::Create(
                options_.job.log_dir, LogFileStem(job.port.label, LocalTime(std::time(nullptr))));
        RunPortJob(job, options_.job);
        HintModemManager(stderr, job.port, job.report.failure);
        if (job.report.unchanged) job.version_after = job.report.version;
        if (job.report.failure == Failure::kNone && job.report.reset_sent)
            job.version_after = VersionAfterReset(job, departures);
        Record(job);
        std::lock_guard<std::mutex> lock(mutex_);
        Slot& slot = slots_[job.slot];
        ++slot.counts[static_cast<int>(OutcomeOf(job))];
        finished_.push_back(&job);
        // An unplug during a job that failed, and a plug again before it ended, is a
        // receiver plugged in anew; the one departure a reset causes is not.
        const bool replugged =
            slot.present && slot.departures != departures && job.report.failure != Failure::kNone;
        slot.phase = slot.present ? Slot::Phase::kResting : Slot::Phase::kArmed;
        if (replugged && !stopping_) Start(job.slot, slot);
        // The loop joins this thread, shows the end, and redraws the job started anew.
        watcher_.Wake();
    }

    // Waits until the receiver went away and came back, or the window passed, and reads
    // the version it runs now: none when it is not there or does not tell.
    std::optional<FirmwareVersion> VersionAfterReset(StationJob& job, unsigned departures) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const Slot& slot = slots_[job.slot];
            changed_.wait_for(lock, kReenumerationWindow, [&] {
                return stopping_ || (slot.present && slot.departures != departures);
            });
            if (stopping_ || !slot.present) return std::nullopt;
        }
        // Nothing of this read goes to the job's log, which ended with the update.
        CaptureLogSink discard;
        const ScopedLogRoute route({&discard, &discard});
        for (int attempt = 0; attempt < kVersionAfterTries; ++attempt) {
            if (attempt > 0 && !job.link.Pause(kVersionAfterPause)) break;
            if (job.link.OpenComPort(job.port) == 0) continue;
            FirmwareVersion version;
            const bool answered = QueryFirmwareVersion(job.link, &version) == Exchange::kAnswered;
            job.link.CloseComPort();
            if (answered) return version;
        }
        return std::nullopt;
    }

    // The job's record to the ledger and standard output, and its end to the operator.
    void Record(const StationJob& job) {
        const std::string record = StationRecord(job, UtcNow(), host_);
        std::lock_guard<std::mutex> lock(output_mutex_);
        if (ledger_ != nullptr) {
            if (const std::string problem = ledger_->Append(record); !problem.empty())
                std::fprintf(stderr, "korvel7: %s; the job on %s is not in it\n",
                             Printable(problem).c_str(), Printable(job.slot).c_str());
        }
        if (options_.job.json) WriteStdout(record + "\n");
        if (options_.job.quiet && OutcomeOf(job) == Outcome::kFailed)
            std::fprintf(stderr, "korvel7: update not successful on %s\n",
                         Printable(job.slot).c_str());
        if (!options_.job.json && !options_.job.quiet && !(live() && IsTerminal(stdout)))
            WriteStdout(Printable(job.slot) + ": " + EndLine(job) + "\n");
    }

    // Joins the threads of the jobs that ended, and forgets each of those jobs once a later
    // one took its slot: a station that runs for days holds one job per slot at most.
    // Called with the lock held; a job is finished only once its thread needs the lock no more.
    void Reap() {
        for (StationJob* job : finished_) {
            threads_.at(job).join();
            threads_.erase(job);
        }
        finished_.clear();
        std::erase_if(jobs_, [&](const std::unique_ptr<StationJob>& job) {
            return !threads_.contains(job.get()) && slots_.at(job->slot).job != job.get();
        });
    }

    // Every job under way ends as a stopped failure of its own; then all are joined.
    void StopAll() {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
        for (const auto& job : jobs_)
            job->link.Cancel();
        for (auto& entry : threads_) {
            lock.unlock();
            entry.second.join();
            lock.lock();
        }
        threads_.clear();
        finished_.clear();
    }

    std::vector<LiveRow> Rows() {
        std::vector<LiveRow> rows;
        for (const auto& [port, slot] : slots_) {
            LiveRow row{port, "waiting", false};
            if (slot.phase == Slot::Phase::kRunning && slot.job != nullptr) {
                std::lock_guard<std::mutex> lock(slot.job->progress_mutex);
                row.state =
                    ProgressBar::Render(slot.job->progress, 0, Clock::now() - slot.job->start);
            } else if (slot.job != nullptr) {
                row.state = EndLine(*slot.job);
            } else if (slot.present) {
                row.state = "left alone: present at the start";
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    // "station: 4 jobs: 1 updated, 0 unchanged, 2 failed, 1 not a KORVEL7", then each
    // slot's, on standard error. 0 when every job succeeded.
    int Summary() {
        unsigned totals[4] = {0, 0, 0, 0};
        std::string lines;
        for (const auto& [port, slot] : slots_) {
            std::string counts;
            for (int i = 0; i < 4; ++i) {
                totals[i] += slot.counts[i];
                if (slot.counts[i] != 0)
                    counts += (counts.empty() ? "" : ", ") + std::to_string(slot.counts[i]) + " " +
                              kOutcomeText[i];
            }
            if (!counts.empty()) lines += "  " + Printable(port) + ": " + counts + "\n";
        }
        const unsigned jobs = totals[0] + totals[1] + totals[2] + totals[3];
        std::fprintf(stderr, "station: %u jobs: %u updated, %u unchanged, %u failed, %u %s\n%s",
                     jobs, totals[0], totals[1], totals[2], totals[3], kOutcomeText[3],
                     lines.c_str());
        return totals[0] + totals[1] == jobs ? kExitOk : kExitFailed;
    }

    const StationOptions& options_;
    Ledger* const ledger_;
    const TerminalInfo terminal_;
    LiveLines live_;
    const std::string host_;
    std::mutex mutex_;  // the slots, the jobs and their threads
    std::condition_variable changed_;
    std::map<std::string, Slot> slots_;
    std::list<std::unique_ptr<StationJob>> jobs_;
    std::map<StationJob*, std::thread> threads_;
    std::vector<StationJob*> finished_;  // ended, thread not joined yet
    bool stopping_ = false;
    std::mutex output_mutex_;
    PortWatcher watcher_;
};

}  // namespace

std::string StationRecord(const StationJob& job, const std::string& time, const std::string& host) {
    const RunReport& r = job.report;
    auto or_null = [](const std::string& text) { return text.empty() ? "null" : JsonString(text); };
    const char* sha256 = r.image == 'A'   ? kImageBuildFacts[0].sha256
                         : r.image == 'B' ? kImageBuildFacts[1].sha256
                                          : "";
    // A receiver's place on the bench is its USB location where the system knows it: a
    // port name can follow another receiver after a re-plug.
    const std::string& slot = job.usb && !job.usb->location.empty() ? job.usb->location : job.slot;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", job.seconds);
    return "{\"time\":" + JsonString(time) + ",\"host\":" + or_null(host) +
           ",\"slot\":" + JsonString(slot) + ",\"port\":" + JsonString(job.port.label) +
           IdentityFields(job.usb, r.address) + ",\"version_before\":" + or_null(VersionText(r)) +
           ",\"version_after\":" + or_null(VersionString(job.version_after)) +
           ",\"image\":" + or_null(r.image != 0 ? std::string(1, r.image) : "") +
           ",\"image_sha256\":" + or_null(sha256) +
           ",\"bytes_written\":" + std::to_string(r.bytes_written) +
           ",\"result\":" + JsonString(kOutcomeText[static_cast<int>(OutcomeOf(job))]) +
           ",\"failed_step\":" + or_null(job.Status() == kExitOk ? "" : StepName(r.failed_step)) +
           ",\"duration_s\":" + seconds + ",\"exit_status\":" + std::to_string(job.Status()) +
           ",\"log_file\":" + or_null(job.log_path) +
           ",\"log_lost\":" + (job.log_lost ? "true" : "false") + "}";
}

int RunStationLoop(const StationOptions& options) {
    if (!options.job.log_dir.empty()) {
        if (const std::string problem = LogDirProblem(options.job.log_dir); !problem.empty()) {
            std::fprintf(stderr, "korvel7: --log-dir %s: %s\n",
                         Printable(options.job.log_dir).c_str(), problem.c_str());
            return kExitUsage;
        }
    }
    Ledger ledger;
    if (!options.ledger.empty()) {
        if (const std::string problem = ledger.Open(options.ledger); !problem.empty()) {
            std::fprintf(stderr, "korvel7: %s\n", Printable(problem).c_str());
            return kExitUsage;
        }
    }
    const TerminalInfo terminal = options.job.progress ? DescribeTerminal(stderr) : TerminalInfo{};
    Station station(options, options.ledger.empty() ? nullptr : &ledger, terminal);
    CatchStopRequests([](void* context) { static_cast<Station*>(context)->Wake(); }, &station);
    const int status = station.Run();
    ReleaseStopRequests();
    return status;
}

}  // namespace k7
