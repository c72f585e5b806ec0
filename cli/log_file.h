// The log files of --log-dir: one new file per port and run, that no earlier file, link or
// second run can take the place of, and that says when it did not get the whole log.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace k7 {

// Why log files cannot be created in `dir`, in the system's words, or empty when they can.
std::string LogDirProblem(const std::string& dir);

// The file name without ".log": the port's name with every run of other characters than
// letters, digits, '-' and '_' made one '-', and the local time of the run, e.g.
// "dev-ttyACM0-20261207-221412". A name too long for the file system keeps its start and
// end around a hash of the whole port name.
std::string LogFileStem(const std::string& label, const std::tm& local);

class LogFile {
public:
    // Creates DIR/STEM.log, or STEM-2.log, STEM-3.log, ... when that name is taken: always
    // a new file, never through a link. When none can be created, the result says why.
    static std::unique_ptr<LogFile> Create(const std::string& dir, const std::string& stem);
    // Takes over an open descriptor, as Create does with the file it created.
    LogFile(std::string path, int descriptor);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Writes all of `text`; after a failure nothing more, so the file never has holes.
    // The port's receiving thread logs too: each text goes in whole, never inside another.
    void Write(std::string_view text);
    // Closes the file; false when it was not created, or a write or the close failed.
    bool Close();

    // Read these once nothing writes any more.
    bool created() const { return descriptor_ >= 0 || closed_; }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }  // the first failure's reason

private:
    std::mutex mutex_;
    std::string path_;
    int descriptor_;
    bool closed_ = false;
    std::string error_;
};

// The platform's side, once per platform; on failure -1 and errno.
// Opens `path` for writing only when it names nothing yet, not even a dangling link.
int CreateNewFile(const std::string& path);
long WriteSome(int descriptor, const char* data, std::size_t size);
int CloseDescriptor(int descriptor);
std::tm LocalTime(std::time_t time);
std::tm UtcTime(std::time_t time);

}  // namespace k7
