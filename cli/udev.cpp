#include "cli/udev.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

#include "cli/terminal.h"

namespace k7 {

namespace {

// Letters, digits, '-', '_' and '.': such a serial number can go into a rule as it is.
// Anything else could end or escape the quoted value (quotes, backslashes), be read as a
// pattern in a match (*, ?, [) or, in the link's name, split it in two (a blank), make
// folders (/) or be substituted (%, $); control and non-ASCII bytes are refused too.
bool SafeInRule(std::string_view serial) {
    return !serial.empty() && std::all_of(serial.begin(), serial.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
    });
}

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<std::uint16_t> HexId(std::string_view text) {
    std::uint16_t id = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id, 16);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return id;
}

// One field of a rule line: KEY OP "VALUE".
struct RuleField {
    std::string key;
    std::string op;
    std::string value;
};

// The fields of a rule line; none for a comment, and none past a field that does not parse.
std::vector<RuleField> ParseRuleLine(std::string_view line) {
    std::vector<RuleField> fields;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(", \t", at)) != std::string_view::npos && line[at] != '#') {
        // A key's braces may hold any character; the operator follows them.
        std::size_t key_end = at;
        if (const std::size_t brace = line.find('{', at); brace < line.find_first_of("=!+-:", at))
            key_end = line.find('}', brace);
        const std::size_t op = line.find_first_of("=!+-:", key_end);
        const std::size_t quote = line.find('"', op);
        if (op == std::string_view::npos || quote == std::string_view::npos) break;
        RuleField field{std::string(Trimmed(line.substr(at, op - at))),
                        std::string(Trimmed(line.substr(op, quote - op))),
                        {}};
        std::size_t end = quote + 1;
        for (; end < line.size() && line[end] != '"'; ++end) {
            if (line[end] == '\\' && end + 1 < line.size()) ++end;
            field.value += line[end];
        }
        if (end >= line.size()) break;
        fields.push_back(std::move(field));
        at = end + 1;
    }
    return fields;
}

// The number a rule file's name starts with (udev runs the files in the order of their
// names); none without one.
std::optional<int> RuleNumber(std::string_view file_name) {
    int number = 0;
    const auto [end, ec] =
        std::from_chars(file_name.data(), file_name.data() + file_name.size(), number);
    if (ec != std::errc() || end == file_name.data()) return std::nullopt;
    return number;
}

}  // namespace

std::string UdevRuleFile(const UsbIdentity& usb, bool bind_serial, std::string* error) {
    char ids[96];
    std::snprintf(ids, sizeof ids, "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\"",
                  usb.vendor_id, usb.product_id);
    std::string match = std::string("SUBSYSTEM==\"tty\", ") + ids;
    std::snprintf(ids, sizeof ids, "%04x:%04x", usb.vendor_id, usb.product_id);
    std::string which = std::string("every receiver with USB id ") + ids;
    // The kernel's name keeps the links of two receivers apart.
    std::string link = "korvel7-%k";
    std::string link_shown = "korvel7-<kernel name>, such as /dev/korvel7-ttyACM0";
    if (bind_serial) {
        if (!usb.serial_number) {
            *error = "its USB device has no serial number; leave out --serial";
            return {};
        }
        const std::string& serial = *usb.serial_number;
        if (!SafeInRule(serial)) {
            *error = "its USB serial number '" + Printable(serial) +
                     "' holds characters other than letters, digits, '-', '_' and '.', which a "
                     "udev rule cannot carry safely; leave out --serial";
            return {};
        }
        match += ", ATTRS{serial}==\"" + serial + "\"";
        which = "the receiver with USB id " + std::string(ids) + " and serial number " + serial;
        link = "korvel7-" + serial;
        link_shown = link;
    }
    return "# udev rule for " + which +
           ", written by 'korvel7 udev-rule'.\n"
           "# It lets the user logged in at the seat open the receiver (uaccess, which needs the\n"
           "# file numbered below 73), and the members of group dialout (service accounts); it\n"
           "# keeps ModemManager from probing it and links it as /dev/" +
           link_shown +
           ".\n"
           "# Save it as korvel7.rules, then install it and apply it to the receivers plugged in:\n"
           "#   sudo cp korvel7.rules " +
           kRuleFile + " && sudo udevadm control --reload && sudo udevadm trigger\n" + match +
           ", TAG+=\"uaccess\", GROUP=\"dialout\", MODE=\"0660\", "
           "ENV{ID_MM_DEVICE_IGNORE}=\"1\", SYMLINK+=\"" +
           link + "\"\n";
}

std::optional<UsbId> IgnoredUsbDevice(std::string_view line) {
    std::optional<std::uint16_t> vendor, product;
    bool ignored = false;
    for (const RuleField& field : ParseRuleLine(line)) {
        if (field.key == "ATTRS{idVendor}" && field.op == "==") vendor = HexId(field.value);
        if (field.key == "ATTRS{idProduct}" && field.op == "==") product = HexId(field.value);
        if (field.key == "ENV{ID_MM_DEVICE_IGNORE}" && (field.op == "=" || field.op == ":="))
            ignored = field.value == "1";
    }
    if (!ignored || !vendor || !product) return std::nullopt;
    return UsbId{*vendor, *product};
}

bool BeforeUaccess(std::string_view file_name) {
    const std::optional<int> number = RuleNumber(file_name);
    return number && *number < 73;
}

}  // namespace k7
