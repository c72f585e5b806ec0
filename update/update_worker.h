// The jobs on one port: open it, make sure a KORVEL7 talks there (it streams NMEA lines),
// run the update, the verify or the info queries, close it and tell the outcome; and the
// address job. Shared by the window and the terminal program, which run them on a worker
// thread of their own. Each returns the job's failure, kNone when it did what was asked,
// and leaves the same in the report of its settings.
#pragma once

#include <chrono>
#include <functional>

#include "link/port.h"
#include "service/address.h"
#include "update/failure.h"
#include "update/firmware_update.h"
#include "update/progress.h"

namespace k7 {

class Link;

// How a job on a port where no receiver answers ends, in its log and in short reports.
inline constexpr char kNotFoundText[] = "KORVEL7 not found";

// The lines that frame every job's log: the port it works on first, and no receiver found.
void LogEnteredPort(const PortRef& port);
void LogNotFound();

struct UpdateSettings {
    const FirmwareImages* images = &BuiltInImages();
    // How long the receiver has to send a complete NMEA line after the probe.
    std::chrono::milliseconds probe_wait{3000};
    UpdateOptions update;
    // Update and verify: ask the receiver's device address into the report right after it
    // was found, with nothing in the log (info always reads and logs it).
    bool read_address = false;
    // Told of every step, on the worker's thread; may be empty.
    ProgressCallback progress;
};

// Runs the whole job on `port` and logs every step. `before_outcome` runs after the port
// is closed and before the outcome line is logged, so that a window can give its button
// back first.
Failure UpdateWorker(Link& link, const PortRef& port, const UpdateSettings& settings = {},
                     const std::function<void()>& before_outcome = {});

// The same job, reading the receiver's memory back and comparing it with the image it
// should hold instead of writing it: nothing is erased, written, checked or reset.
Failure VerifyWorker(Link& link, const PortRef& port, const UpdateSettings& settings = {},
                     const std::function<void()>& before_outcome = {});

// What `info` tells: the version, the device address and the image an update would
// install. Nothing that erases, writes, checks or resets is sent, and nothing at all once
// the job is stopped.
Failure InfoWorker(Link& link, const PortRef& port, const UpdateSettings& settings = {});

// The address job: open, write the address, wait, read it back, close. kNotFound when the
// port did not open, kFailed when the address read back is not `address`.
Failure AddressWorker(Link& link, const PortRef& port, const InputAddress& address,
                      AddressTimings timings = {});

// Opens `port`, sends the probe and waits for NMEA lines: true when a KORVEL7 talks
// there, with the port left open; otherwise the port is closed again and `report` says
// why. Logs each step; a cancelled link (Link::Cancelled) ends it as stopped.
bool DetectKorvel7(Link& link, const PortRef& port, const UpdateSettings& settings,
                   ProgressTracker& progress, RunReport& report);

}  // namespace k7
