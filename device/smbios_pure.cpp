// The SMBIOS structure walk and its string lookup. Every read is checked against the buffer's end:
// the table comes from firmware and may be malformed.
#include "device/device_pure.h"

#include "base/text_pure.h"

namespace {

std::string trim_trailing_blanks_and_tabs(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
}

}  // namespace

std::string smbios_string(const std::uint8_t* strings, std::size_t available, std::uint8_t index) {
    if (index == 0 || available == 0) return {};
    std::size_t pos = 0;
    if (strings[0] == 0) {
        // Two zero bytes: a set without strings. A lone leading zero is skipped and not counted.
        if (available < 2 || strings[1] == 0) return {};
        pos = 1;
    }
    for (unsigned current = 1;; ++current) {
        // The zero byte after the last terminator ends the set; bytes beyond it belong to the next
        // structure and are never read as a string.
        if (pos >= available || strings[pos] == 0) return {};
        const std::size_t start = pos;
        while (pos < available && strings[pos] != 0) ++pos;
        if (current == index) {
            return trim_trailing_blanks_and_tabs(
                std::string(reinterpret_cast<const char*>(strings + start), pos - start));
        }
        ++pos;  // the terminator
    }
}

std::string format_smbios_uuid(const std::uint8_t* bytes) {
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        // Storage order, no byte swapping of the first three groups.
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        append_hex(text, bytes[i], hex_case::upper);
    }
    return text;
}

component_map parse_smbios_table(std::span<const std::uint8_t> table, std::size_t* examined) {
    component_map components;
    const std::uint8_t* const data = table.data();
    const std::size_t size = table.size();
    std::size_t count = 0;
    // Bytes 0..7 are the platform's header; the structures start after it.
    std::size_t pos = 8;
    while (pos < size && size - pos >= 4 && count < kSmbiosMaxStructures) {
        const std::uint8_t type = data[pos];
        const std::size_t length = data[pos + 1];
        if (length < 4) break;
        const std::size_t strings = pos + length;
        if (strings > size) break;
        const std::uint8_t* const set = data + strings;
        const std::size_t available = size - strings;
        const std::uint8_t* const area = data + pos;

        // Later structures of the same type replace earlier values, even with an empty one.
        if (type == 0 && length >= 9) {
            components["bios"] = smbios_string(set, available, area[0x08]);
        } else if (type == 1 && length >= 26) {
            components["system_serial"] = smbios_string(set, available, area[0x19]);
            components["system_uuid"] = format_smbios_uuid(area + 0x08);
        } else if (type == 2 && length >= 8) {
            components["baseboard"] = smbios_string(set, available, area[0x07]);
            if (length >= 11) components["baseboard_product"] = smbios_string(set, available, area[0x0A]);
        }
        ++count;

        // The string set ends with the first pair of zero bytes; the next structure follows it.
        std::size_t end = strings;
        while (end + 1 < size && !(data[end] == 0 && data[end + 1] == 0)) ++end;
        if (end + 1 >= size) break;
        pos = end + 2;
    }
    if (examined != nullptr) *examined = count;
    return components;
}
