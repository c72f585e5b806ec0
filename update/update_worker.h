// Detection and update on one port: open it, make sure a KORVEL7 talks there (it streams
// NMEA lines), run the update, close it and tell the outcome. Shared by the window and
// the terminal program, which run it on a worker thread of their own.
#pragma once

#include <chrono>
#include <functional>

#include "link/port.h"
#include "update/firmware_update.h"
#include "update/progress.h"

namespace k7 {

class Link;

enum class UpdateOutcome { kNotFound, kSucceeded, kFailed };

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
    // Told of every step, on the worker's thread; may be empty.
    ProgressCallback progress;
};

// Runs the whole job on `port` and logs every step. `before_outcome` runs after the port
// is closed and before the outcome line is logged, so that a window can give its button
// back first.
UpdateOutcome UpdateWorker(Link& link, const PortRef& port, const UpdateSettings& settings = {},
                           const std::function<void()>& before_outcome = {});

// The same job, reading the receiver's memory back and comparing it with the image it
// should hold instead of writing it: nothing is erased, written, checked or reset.
// kSucceeded when it matches.
UpdateOutcome VerifyWorker(Link& link, const PortRef& port, const UpdateSettings& settings = {},
                           const std::function<void()>& before_outcome = {});

// Opens `port`, sends the probe and waits for NMEA lines: true when a KORVEL7 talks
// there, with the port left open; otherwise the port is closed again. Logs each step; a
// cancelled link (Link::Cancelled) ends it as stopped.
bool DetectKorvel7(Link& link, const PortRef& port, const UpdateSettings& settings,
                   ProgressTracker& progress);

}  // namespace k7
