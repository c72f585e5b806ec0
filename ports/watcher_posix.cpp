// Ports appearing on Linux: inotify on each pattern's directory wakes the watcher when a
// name is created, removed or renamed there (udev's device nodes and a simulator's
// symlink in /tmp alike); an eventfd carries the wakes of other threads and of signal
// handlers. A directory that does not exist (yet) is looked at every 250 ms until it does.
// Attribute changes are not watched: they cannot add or remove a name, and /dev sees many
// of them.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>

#include "ports/watcher.h"

namespace k7 {

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kPollInterval{250};
constexpr std::uint32_t kNameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// A watched directory and the name patterns that apply in it.
struct Directory {
    std::vector<std::string> names;
    int watch = -1;  // the inotify watch, -1 while the directory cannot be watched
};

class InotifySource : public WatchSource {
public:
    explicit InotifySource(const std::vector<std::string>& patterns)
        : inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        for (const std::string& pattern : patterns) {
            const fs::path path(pattern);
            const std::string dir = path.has_parent_path() ? path.parent_path().string() : ".";
            directories_[dir].names.push_back(path.filename().string());
        }
        AddMissingWatches();
    }
    ~InotifySource() override {
        if (inotify_ >= 0) close(inotify_);
        if (wake_ >= 0) close(wake_);
    }

    std::set<std::string> Scan() override {
        std::set<std::string> ports;
        for (const auto& [dir, directory] : directories_) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(dir, ec)) {
                const std::string name = entry.path().filename().string();
                if (std::ranges::any_of(directory.names, [&](const std::string& pattern) {
                        return MatchesWildcard(pattern, name);
                    }))
                    ports.insert(dir + "/" + name);
            }
        }
        return ports;
    }

    Woke WaitForActivity(std::chrono::milliseconds timeout) override {
        if (AddMissingWatches()) return Woke::kActivity;  // names may predate the new watch
        const bool polling = std::ranges::any_of(
            directories_, [](const auto& entry) { return entry.second.watch < 0; });
        const auto wait = polling ? std::min(timeout, kPollInterval) : timeout;
        const int wait_ms = wait == kWaitForever
                                ? -1
                                : static_cast<int>(std::min<std::int64_t>(wait.count(), INT_MAX));
        pollfd fds[2] = {{wake_, POLLIN, 0}, {inotify_, POLLIN, 0}};
        int ready = -1;
        do {
            ready = poll(fds, inotify_ >= 0 ? 2 : 1, wait_ms);
        } while (ready < 0 && errno == EINTR);
        if (fds[0].revents != 0) {
            // Reading zeroes the counter: wakes that came together end this one wait.
            std::uint64_t wakes = 0;
            [[maybe_unused]] const ssize_t read_size = read(wake_, &wakes, sizeof wakes);
            return Woke::kWoken;
        }
        if (ready > 0) {
            DrainEvents();
            return Woke::kActivity;
        }
        return wait < timeout ? Woke::kActivity : Woke::kTimeout;
    }

    void Wake() override {
        const std::uint64_t one = 1;
        // The counter stays above zero until a wait reads it, so a wake between two waits
        // ends the next one.
        [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
    }

private:
    // Watches every directory not watched yet that can be; true when one was added.
    bool AddMissingWatches() {
        bool added = false;
        for (auto& [dir, directory] : directories_) {
            if (directory.watch >= 0 || inotify_ < 0) continue;
            directory.watch = inotify_add_watch(inotify_, dir.c_str(), kNameEvents);
            added = added || directory.watch >= 0;
        }
        return added;
    }

    // Reads the pending events; a directory removed or moved away loses its watch (the
    // kernel ends it with IN_IGNORED after a removal; a moved one is dropped here) and is
    // looked for again by polling.
    void DrainEvents() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t size = read(inotify_, buffer, sizeof buffer);
            if (size <= 0) return;
            for (ssize_t at = 0; at < size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & IN_MOVE_SELF) != 0) inotify_rm_watch(inotify_, event->wd);
                if ((event->mask & (IN_IGNORED | IN_MOVE_SELF)) != 0) Forget(event->wd);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    void Forget(int watch) {
        for (auto& entry : directories_)
            if (entry.second.watch == watch) entry.second.watch = -1;
    }

    int inotify_;
    int wake_;
    std::map<std::string, Directory> directories_;
};

}  // namespace

std::vector<std::string> DefaultWatchPatterns() {
    return {"/dev/ttyACM*", "/dev/ttyUSB*"};
}

std::unique_ptr<WatchSource> MakeWatchSource(const std::vector<std::string>& patterns) {
    return std::make_unique<InotifySource>(patterns);
}

}  // namespace k7
