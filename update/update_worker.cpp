#include "update/update_worker.h"

#include <algorithm>

#include "link/link.h"
#include "log/log.h"

namespace k7 {

namespace {

ProgressTracker MakeTracker(const UpdateSettings& settings) {
    const FirmwareImages& images = *settings.images;
    return ProgressTracker(settings.progress,
                           static_cast<std::uint32_t>(std::max(images.a.size(), images.b.size())),
                           settings.probe_wait, settings.update.check_pause);
}

// A job stopped before a receiver was found failed: nobody looked.
UpdateOutcome NotFoundOrStopped(const Link& link) {
    return link.Cancelled() ? UpdateOutcome::kFailed : UpdateOutcome::kNotFound;
}

UpdateOutcome DetectAndUpdate(Link& link, const PortRef& port, const UpdateSettings& settings) {
    ProgressTracker progress = MakeTracker(settings);
    if (!DetectKorvel7(link, port, settings, progress)) return NotFoundOrStopped(link);
    LogPrintf("KORVEL7 Update working on %s\r\n", port.label.c_str());
    const int result = RunFirmwareUpdate(link, *settings.images, settings.update, &progress);
    link.CloseComPort();
    return result == 1 ? UpdateOutcome::kSucceeded : UpdateOutcome::kFailed;
}

UpdateOutcome DetectAndVerify(Link& link, const PortRef& port, const UpdateSettings& settings) {
    ProgressTracker progress = MakeTracker(settings);
    if (!DetectKorvel7(link, port, settings, progress)) return NotFoundOrStopped(link);
    const VerifyResult result = VerifyFirmware(link, *settings.images, settings.update, &progress);
    link.CloseComPort();
    return result == VerifyResult::kMatches ? UpdateOutcome::kSucceeded : UpdateOutcome::kFailed;
}

// The job framed by its port line and its outcome line ("Update successful", ...).
UpdateOutcome RunLogged(UpdateOutcome (*job)(Link&, const PortRef&, const UpdateSettings&),
                        Link& link, const PortRef& port, const UpdateSettings& settings,
                        const std::function<void()>& before_outcome, const char* what) {
    LogEnteredPort(port);
    const UpdateOutcome outcome = job(link, port, settings);
    if (before_outcome) before_outcome();
    switch (outcome) {
        case UpdateOutcome::kNotFound:
            LogNotFound();
            break;
        case UpdateOutcome::kSucceeded:
            LogPrintf("%s successful\r\n", what);
            break;
        case UpdateOutcome::kFailed:
            LogPrintf("%s not successful\r\n", what);
            break;
    }
    return outcome;
}

}  // namespace

void LogEnteredPort(const PortRef& port) {
    LogPrintf("\r\nEntered COM PORT : %s\r\n", port.label.c_str());
}

void LogNotFound() {
    LogPrintf("%s\r\n", kNotFoundText);
}

bool DetectKorvel7(Link& link, const PortRef& port, const UpdateSettings& settings,
                   ProgressTracker& progress) {
    RunReport unreported;
    RunReport& report = settings.update.report != nullptr ? *settings.update.report : unreported;
    progress.Begin(UpdatePhase::kProbe);
    link.ResetLineCount();
    if (link.OpenComPort(port) == 0) {
        if (link.Cancelled())
            LogStopped(report, "open", "before the port was opened");
        else
            report.failed_step = "open";
        return false;
    }
    LogPrintf("Checking %s... ", port.label.c_str());
    // The probe is not answered; a receiver shows itself by its NMEA stream, and lines
    // that arrived since the port was opened count too.
    link.SendPacket(kCmdProbe, nullptr, 0);
    if (!link.Pause(settings.probe_wait)) {
        LogStopped(report, PhaseName(UpdatePhase::kProbe), "during the probe", true);
        link.CloseComPort();
        return false;
    }
    progress.Probed();
    if (link.LineCount() == 0) {
        LogPrintf("not KORVEL7\r\n");
        link.CloseComPort();
        report.failed_step = "probe";
        return false;
    }
    LogPrintf("found a KORVEL7\r\n");
    return true;
}

UpdateOutcome VerifyWorker(Link& link, const PortRef& port, const UpdateSettings& settings,
                           const std::function<void()>& before_outcome) {
    return RunLogged(DetectAndVerify, link, port, settings, before_outcome, "Verify");
}

UpdateOutcome UpdateWorker(Link& link, const PortRef& port, const UpdateSettings& settings,
                           const std::function<void()>& before_outcome) {
    return RunLogged(DetectAndUpdate, link, port, settings, before_outcome, "Update");
}

}  // namespace k7
