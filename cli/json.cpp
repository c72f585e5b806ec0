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

namespace {

std::string OrNull(const std::string& text) {
    return text.empty() ? "null" : JsonString(text);
}

std::string OptionalString(const std::optional<std::string>& text) {
    return text ? JsonString(*text) : "null";
}

// "00:19:01:12:34:56", or empty for none.
std::string AddressText(const std::optional<std::array<std::uint8_t, 6>>& address) {
    if (!address) return "";
    const auto& a = *address;
    char text[24];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned{a[0]},
                  unsigned{a[1]}, unsigned{a[2]}, unsigned{a[3]}, unsigned{a[4]}, unsigned{a[5]});
    return text;
}

}  // namespace

std::string UsbJson(const std::optional<UsbIdentity>& usb) {
    if (!usb) return "null";
    char ids[40];
    std::snprintf(ids, sizeof ids, "{\"vid\":\"%04x\",\"pid\":\"%04x\"", usb->vendor_id,
                  usb->product_id);
    return ids + (",\"serial\":" + OptionalString(usb->serial_number)) +
           ",\"location\":" + OrNull(usb->location) + ",\"by_path\":" + OrNull(usb->by_path) + "}";
}

std::string IdentityFields(const std::optional<UsbIdentity>& usb,
                           const std::optional<std::array<std::uint8_t, 6>>& address) {
    return ",\"usb\":" + UsbJson(usb) + ",\"device_address\":" + OrNull(AddressText(address));
}

std::string PortJsonLine(const SerialPort& port) {
    return "{\"port\":" + JsonString(port.name) +
           ",\"description\":" + OptionalString(port.friendly_name) +
           ",\"usb\":" + UsbJson(port.usb) + "}\n";
}

std::string JsonLine(const JobResult& job, JobKind kind) {
    const RunReport& r = job.report;
    std::string line = "{\"port\":" + JsonString(job.port.label) +
                       IdentityFields(job.usb, r.address) +
                       ",\"found\":" + (r.failure != Failure::kNotFound ? "true" : "false") +
                       ",\"version_before\":" + OrNull(VersionText(r)) +
                       ",\"image\":" + OrNull(r.image != 0 ? std::string(1, r.image) : "") +
                       ",\"bytes_written\":" + std::to_string(r.bytes_written);
    if (kind == JobKind::kInfo) line += ",\"address\":" + OrNull(AddressText(r.address));
    if (kind == JobKind::kVerify) line += ",\"differences\":" + std::to_string(r.differences);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", job.seconds);
    line += ",\"result\":" + JsonString(ResultText(job, kind)) +
            ",\"failed_step\":" + OrNull(job.Status() == kExitOk ? "" : StepName(r.failed_step)) +
            ",\"duration_s\":" + seconds + ",\"exit_status\":" + std::to_string(job.Status()) +
            ",\"log_file\":" + OrNull(job.log_path) +
            ",\"log_lost\":" + (job.log_lost ? "true" : "false") + "}\n";
    return line;
}

}  // namespace k7
