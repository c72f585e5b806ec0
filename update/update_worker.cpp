#include "update/update_worker.h"

#include <algorithm>

#include "link/link.h"
#include "log/log.h"
#include "service/address.h"

namespace k7 {

namespace {

ProgressTracker MakeTracker(const UpdateSettings& settings) {
    const FirmwareImages& images = *settings.images;
    return ProgressTracker(settings.progress,
                           static_cast<std::uint32_t>(std::max(images.a.size(), images.b.size())),
                           settings.probe_wait, settings.update.check_pause);
}

// The report a job counts into: the caller's, or `own`.
RunReport& ReportOf(const UpdateSettings& settings, RunReport& own) {
    return settings.update.report != nullptr ? *settings.update.report : own;
}

using Job = void (*)(Link&, const PortRef&, const UpdateSettings&, RunReport&);

// The device address into the report when the settings ask for it, without a line in the
// log, which stays as a run without it writes it. A receiver that does not give it is no
// failure; false when the job was stopped meanwhile, which ends it (the port is closed).
bool ReadAddressUnlogged(Link& link, const UpdateSettings& settings, RunReport& report) {
    if (!settings.read_address) return true;
    std::array<std::uint8_t, 6> address;
    Exchange read;
    {
        const LogRoute* route = CurrentLogRoute();
        const ScopedLogRoute unlogged({nullptr, route != nullptr ? route->report : nullptr});
        read = QueryDeviceAddress(link, &address);
    }
    if (read == Exchange::kAnswered) report.address = address;
    if (read != Exchange::kStopped) return true;
    LogStopped(report, Step::kAddress, "while reading the address");
    link.CloseComPort();
    return false;
}

void DetectAndUpdate(Link& link, const PortRef& port, const UpdateSettings& settings,
                     RunReport& report) {
    ProgressTracker progress = MakeTracker(settings);
    if (!DetectKorvel7(link, port, settings, progress, report)) return;
    if (!ReadAddressUnlogged(link, settings, report)) return;
    LogPrintf("KORVEL7 Update working on %s\r\n", port.label.c_str());
    UpdateOptions options = settings.update;
    options.report = &report;
    RunFirmwareUpdate(link, *settings.images, options, &progress);
    link.CloseComPort();
}

void DetectAndVerify(Link& link, const PortRef& port, const UpdateSettings& settings,
                     RunReport& report) {
    ProgressTracker progress = MakeTracker(settings);
    if (!DetectKorvel7(link, port, settings, progress, report)) return;
    if (!ReadAddressUnlogged(link, settings, report)) return;
    UpdateOptions options = settings.update;
    options.report = &report;
    VerifyFirmware(link, *settings.images, options, &progress);
    link.CloseComPort();
}

// The job framed by its port line and its outcome line ("Update successful", ...).
Failure RunLogged(Job job, Link& link, const PortRef& port, const UpdateSettings& settings,
                  const std::function<void()>& before_outcome, const char* what) {
    RunReport own;
    RunReport& report = ReportOf(settings, own);
    LogEnteredPort(port);
    job(link, port, settings, report);
    if (before_outcome) before_outcome();
    if (report.failure == Failure::kNotFound)
        LogNotFound();
    else
        LogPrintf("%s %ssuccessful\r\n", what, report.failure == Failure::kNone ? "" : "not ");
    return report.failure;
}

void LogDeviceAddress(const std::array<std::uint8_t, 6>& a) {
    LogPrintf("Device address: %02X:%02X:%02X:%02X:%02X:%02X\r\n", unsigned{a[0]}, unsigned{a[1]},
              unsigned{a[2]}, unsigned{a[3]}, unsigned{a[4]}, unsigned{a[5]});
}

// What `program` would do with the receiver whose version the report holds.
void LogImageFor(const FirmwareImages& images, RunReport& report) {
    const auto image = ImageFor(images, *report.version, &report.image);
    if (image.empty()) {
        LogPrintf("NOT supported firmware version! program would refuse it\r\n");
        return;
    }
    report.image_size = static_cast<std::uint32_t>(image.size());
    LogPrintf("program would install image %c: %u bytes, sum %04x\r\n", report.image,
              report.image_size, unsigned{ImageCheckSum(image)});
}

}  // namespace

void LogEnteredPort(const PortRef& port) {
    LogPrintf("\r\nEntered COM PORT : %s\r\n", port.label.c_str());
}

void LogNotFound() {
    LogPrintf("%s\r\n", kNotFoundText);
}

bool DetectKorvel7(Link& link, const PortRef& port, const UpdateSettings& settings,
                   ProgressTracker& progress, RunReport& report) {
    progress.Begin(UpdatePhase::kProbe);
    link.ResetLineCount();
    if (link.OpenComPort(port) == 0) {
        if (link.Cancelled())
            LogStopped(report, Step::kOpen, "before the port was opened");
        else
            report.Fail(Failure::kNotFound, Step::kOpen);
        return false;
    }
    LogPrintf("Checking %s... ", port.label.c_str());
    // The probe is not answered; a receiver shows itself by its NMEA stream, and lines
    // that arrived since the port was opened count too.
    link.SendPacket(kCmdProbe, nullptr, 0);
    if (!link.Pause(settings.probe_wait)) {
        LogStopped(report, Step::kProbe, "during the probe", true);
        link.CloseComPort();
        return false;
    }
    progress.Probed();
    if (link.LineCount() == 0) {
        LogPrintf("not KORVEL7\r\n");
        link.CloseComPort();
        report.Fail(Failure::kNotFound, Step::kProbe);
        return false;
    }
    LogPrintf("found a KORVEL7\r\n");
    return true;
}

Failure VerifyWorker(Link& link, const PortRef& port, const UpdateSettings& settings,
                     const std::function<void()>& before_outcome) {
    return RunLogged(DetectAndVerify, link, port, settings, before_outcome, "Verify");
}

Failure UpdateWorker(Link& link, const PortRef& port, const UpdateSettings& settings,
                     const std::function<void()>& before_outcome) {
    return RunLogged(DetectAndUpdate, link, port, settings, before_outcome, "Update");
}

// A failed version query does not keep the address from being asked; the report names
// the first step that failed.
Failure InfoWorker(Link& link, const PortRef& port, const UpdateSettings& settings) {
    RunReport own;
    RunReport& report = ReportOf(settings, own);
    LogEnteredPort(port);
    ProgressTracker progress(settings.progress, 0, settings.probe_wait, {});
    if (!DetectKorvel7(link, port, settings, progress, report)) {
        if (report.failure == Failure::kNotFound) LogNotFound();
        return report.failure;
    }
    const auto stopped = [&](Step step, const char* what) {
        LogStopped(report, step, what);
        link.CloseComPort();
        return report.failure;
    };
    FirmwareVersion version;
    const Exchange asked = QueryFirmwareVersion(link, &version);
    if (asked == Exchange::kStopped) return stopped(Step::kVersion, "while reading the version");
    if (asked == Exchange::kAnswered) {
        report.version = version;
        LogExistingVersion(version);
    } else {
        LogNoExistingVersion();
        report.Fail(Failure::kFailed, Step::kVersion);
    }
    std::array<std::uint8_t, 6> address;
    const Exchange read = QueryDeviceAddress(link, &address);
    if (read == Exchange::kStopped) return stopped(Step::kAddress, "while reading the address");
    if (read == Exchange::kAnswered) {
        report.address = address;
        LogDeviceAddress(address);
    } else if (report.failure == Failure::kNone) {
        report.Fail(Failure::kFailed, Step::kAddress);
    }
    link.CloseComPort();
    if (report.version) LogImageFor(*settings.images, report);
    return report.failure;
}

Failure AddressWorker(Link& link, const PortRef& port, const InputAddress& address,
                      AddressTimings timings) {
    if (link.OpenComPort(port) == 0) {
        LogPrintf("%s  NOT OPEN\r\n", port.label.c_str());
        return Failure::kNotFound;
    }
    LogPrintf("PROGRAM %s... ", port.label.c_str());
    link.Pause(timings.after_open);
    WriteAddress(link, address);
    link.Pause(timings.after_write);
    const bool ok = ReadAddress(link, address);
    link.CloseComPort();
    return ok ? Failure::kNone : Failure::kFailed;
}

}  // namespace k7
