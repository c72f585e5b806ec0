#include "cli/json.h"

#include <cstdio>

#include "cli/utf8.h"

namespace k7 {

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8Length(text.substr(i));
        const char c = text[i];
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x",
                          unsigned{static_cast<unsigned char>(c)});
            out += escaped;
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out + "\"";
}

std::string JsonLine(const JobResult& job, JobKind kind) {
    const RunReport& r = job.report;
    auto or_null = [](const std::string& text) { return text.empty() ? "null" : JsonString(text); };
    std::string line = "{\"port\":" + JsonString(job.port.label) +
                       ",\"found\":" + (r.failure != Failure::kNotFound ? "true" : "false") +
                       ",\"version_before\":" + or_null(VersionText(r)) +
                       ",\"image\":" + or_null(r.image != 0 ? std::string(1, r.image) : "") +
                       ",\"bytes_written\":" + std::to_string(r.bytes_written);
    if (kind == JobKind::kInfo) {
        char address[24] = "";
        if (r.address) {
            const auto& a = *r.address;
            std::snprintf(address, sizeof address, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned{a[0]},
                          unsigned{a[1]}, unsigned{a[2]}, unsigned{a[3]}, unsigned{a[4]},
                          unsigned{a[5]});
        }
        line += ",\"address\":" + or_null(address);
    }
    if (kind == JobKind::kVerify) line += ",\"differences\":" + std::to_string(r.differences);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", job.seconds);
    line += ",\"result\":" + JsonString(ResultText(job, kind)) +
            ",\"failed_step\":" + or_null(job.Status() == kExitOk ? "" : StepName(r.failed_step)) +
            ",\"duration_s\":" + seconds + ",\"exit_status\":" + std::to_string(job.Status()) +
            ",\"log_file\":" + or_null(job.log_path) +
            ",\"log_lost\":" + (job.log_lost ? "true" : "false") + "}\n";
    return line;
}

}  // namespace k7
