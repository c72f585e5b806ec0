#include "ports/watcher.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace k7 {

bool MatchesWildcard(const std::string& pattern, const std::string& name) {
    // Greedy match with one step back to the last star: linear enough for port names.
    std::size_t p = 0, n = 0, star = std::string::npos, star_n = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++, star_n = n;
        } else if (star != std::string::npos) {
            p = star + 1, n = ++star_n;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

PortWatcher::PortWatcher(std::vector<std::string> patterns)
    : source_(MakeWatchSource(patterns.empty() ? DefaultWatchPatterns() : patterns)),
      present_(source_->Scan()),
      initial_(present_.begin(), present_.end()) {}

PortChanges PortWatcher::Wait(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const bool forever = timeout == kWaitForever;
    const auto deadline = forever ? Clock::time_point::max() : Clock::now() + timeout;
    for (;;) {
        const auto left =
            forever ? kWaitForever
                    : std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const WatchSource::Woke woke =
            source_->WaitForActivity(std::max(left, std::chrono::milliseconds(0)));
        if (woke == WatchSource::Woke::kWoken) return {};
        std::set<std::string> now = source_->Scan();
        PortChanges changes;
        std::ranges::set_difference(now, present_, std::back_inserter(changes.appeared));
        std::ranges::set_difference(present_, now, std::back_inserter(changes.disappeared));
        present_ = std::move(now);
        if (!changes.empty() || woke == WatchSource::Woke::kTimeout || left.count() <= 0)
            return changes;
    }
}

}  // namespace k7
