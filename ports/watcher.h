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

// How a platform learns that the set of ports may have changed. Implemented once per
// platform; the watcher compares the sets.
class WatchSource {
public:
    enum class Woke { kActivity, kTimeout, kStopped };
    virtual ~WatchSource() = default;
    virtual std::set<std::string> Scan() = 0;
    // Blocks until something may have changed, the timeout passes or Stop is called.
    virtual Woke WaitForActivity(std::chrono::milliseconds timeout) = 0;
    virtual void Stop() = 0;  // from any thread; every later wait returns kStopped at once
};
std::unique_ptr<WatchSource> MakeWatchSource(const std::vector<std::string>& patterns);

class PortWatcher {
public:
    // Takes the set of ports present now; no patterns means the default ones.
    explicit PortWatcher(std::vector<std::string> patterns = {});

    // The ports present when the watcher was made, sorted; Wait never reports them as
    // appearing (a station leaves them alone unless told otherwise).
    const std::vector<std::string>& initial() const { return initial_; }

    // Blocks until ports appear or disappear, the timeout passes (nothing changed) or Stop
    // is called (nothing reported). A port that comes and goes between two looks is missed.
    PortChanges Wait(std::chrono::milliseconds timeout);

    // Ends the current and every later Wait at once; safe from any thread.
    void Stop() { source_->Stop(); }

private:
    std::unique_ptr<WatchSource> source_;
    std::set<std::string> present_;
    std::vector<std::string> initial_;
};

}  // namespace k7
