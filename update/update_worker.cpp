#include "update/update_worker.h"

#include <algorithm>

#include "link/link.h"
#include "log/log.h"

namespace k7 {

namespace {

UpdateOutcome DetectAndUpdate(Link& link, const PortRef& port, const UpdateSettings& settings) {
    const FirmwareImages& images = *settings.images;
    ProgressTracker progress(settings.progress,
                             static_cast<std::uint32_t>(std::max(images.a.size(), images.b.size())),
                             settings.probe_wait, settings.update.check_pause);
    progress.Begin(UpdatePhase::kProbe);
    link.ResetLineCount();
    if (link.OpenComPort(port) == 0) return UpdateOutcome::kNotFound;

    LogPrintf("Checking %s... ", port.label.c_str());
    // The probe is not answered; a receiver shows itself by its NMEA stream, and lines
    // that arrived since the port was opened count too.
    link.SendPacket(kCmdProbe, nullptr, 0);
    link.Pause(settings.probe_wait);
    progress.Probed();
    if (link.LineCount() == 0) {
        LogPrintf("not KORVEL7\r\n");
        link.CloseComPort();
        return UpdateOutcome::kNotFound;
    }

    LogPrintf("found a KORVEL7\r\n");
    LogPrintf("KORVEL7 Update working on %s\r\n", port.label.c_str());
    const int result = RunFirmwareUpdate(link, images, settings.update, &progress);
    link.CloseComPort();
    return result == 1 ? UpdateOutcome::kSucceeded : UpdateOutcome::kFailed;
}

}  // namespace

UpdateOutcome UpdateWorker(Link& link, const PortRef& port, const UpdateSettings& settings,
                           const std::function<void()>& before_outcome) {
    LogPrintf("\r\nEntered COM PORT : %s\r\n", port.label.c_str());
    const UpdateOutcome outcome = DetectAndUpdate(link, port, settings);
    if (before_outcome) before_outcome();
    switch (outcome) {
        case UpdateOutcome::kNotFound:
            LogPrintf("KORVEL7 not found\r\n");
            break;
        case UpdateOutcome::kSucceeded:
            LogPrintf("Update successful\r\n");
            break;
        case UpdateOutcome::kFailed:
            LogPrintf("Update not successful\r\n");
            break;
    }
    return outcome;
}

}  // namespace k7
