// Ports appearing and disappearing, for a station that updates receivers as they are
// plugged in. A port is a name that matches one of the watched patterns: on Linux a path
// whose last part may hold the wildcards * and ? (/dev/ttyACM*), the directory before it
// being literal; on Windows a COM port name (COM*), in any letter case.
#pragma once

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace k7 {

struct PortChanges {
    std::vector<std::string> appeared;     // sorted
    std::vector<std::string> disappeared;  // sorted
    bool empty() const { return appeared.empty() && disappeared.empty(); }
};

// Linux: /dev/ttyACM* and /dev/ttyUSB*. Windows: every COM port.
std::vector<std::string> DefaultWatchPatterns();

// Whether `name` matches `pattern`, where * stands for any run of characters and ? for one.
bool MatchesWildcard(const std::string& pattern, const std::string& name);

// A wait's timeout that never passes: the wait lasts until a change or a wake.
inline constexpr std::chrono::milliseconds kWaitForever = std::chrono::milliseconds::max();

// How a platform learns that the set of ports may have changed. Implemented once per
// platform; the watcher compares the sets.
class WatchSource {
public:
    enum class Woke { kActivity, kTimeout, kWoken };
    virtual ~WatchSource() = default;
    virtual std::set<std::string> Scan() = 0;
    // Blocks until something may have changed, the timeout (or kWaitForever) passes or
    // Wake is called.
    virtual Woke WaitForActivity(std::chrono::milliseconds timeout) = 0;
    // Ends the wait under way, or the next one if none is, with kWoken. From any thread,
    // and from a signal handler: it does nothing that is not async-signal-safe.
    virtual void Wake() = 0;
};
std::unique_ptr<WatchSource> MakeWatchSource(const std::vector<std::string>& patterns);

class PortWatcher {
public:
    // Takes the set of ports present now; no patterns means the default ones.
    explicit PortWatcher(std::vector<std::string> patterns = {});

    // The ports present when the watcher was made, sorted; Wait never reports them as
    // appearing (a station leaves them alone unless told otherwise).
    const std::vector<std::string>& initial() const { return initial_; }

    // Blocks until ports appear or disappear, the timeout passes (nothing changed; never
    // with kWaitForever) or Wake is called (nothing reported). A port that comes and goes
    // between two looks is missed.
    PortChanges Wait(std::chrono::milliseconds timeout);

    // Ends the Wait under way at once, or the next one when none is: a wake that comes
    // between two waits is not lost, and it ends one wait only. Safe from any thread and
    // from a signal handler, so a stop request or a finished job can end an endless wait.
    void Wake() { source_->Wake(); }

private:
    std::unique_ptr<WatchSource> source_;
    std::set<std::string> present_;
    std::vector<std::string> initial_;
};

}  // namespace k7
