// What signals from outside do to korvel7. Nobody reading its output any more (a closed
// pipe, a terminal or ssh session that went away) never stops it: a job stopped midway
// leaves a receiver half written, so the jobs run on and only that output is lost. A stop
// asked for (Ctrl-C, SIGTERM) cancels every running job, and each ends as a logged failure
// of its own.
#pragma once

namespace k7 {

// For the rest of the process: a write to a pipe without a reader fails instead of killing
// the process (SIGPIPE), and a hang-up of its terminal (SIGHUP) changes nothing; writes to
// that terminal then fail. No-op where there are no such signals.
void IgnoreLostOutput();

// From CatchStopRequests to ReleaseStopRequests, a stop request is recorded instead of
// ending the process: SIGINT and SIGTERM; on Windows Ctrl-C, Ctrl-Break and the closing of
// the console window, after which Windows ends the process within seconds anyway.
// Each request then calls `wake(context)` when given, so that a loop asleep until
// something happens sees it at once: from the signal handler on POSIX, where it may do
// only what is async-signal-safe (PortWatcher::Wake), from the console handler's thread on
// Windows.
void CatchStopRequests(void (*wake)(void* context) = nullptr, void* context = nullptr);
bool StopRequested();
// Gives the stop requests back to the handling they had before. On Windows, a close of the
// console window that came meanwhile may end the process from here on.
void ReleaseStopRequests();

}  // namespace k7
