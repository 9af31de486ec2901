// Arbitrary firmware tables through the SMBIOS walk and the string lookup, and the same bytes as a
// storage device descriptor. The walk gets exactly the
// fuzzer's bytes in a heap buffer of that size, so any read past the table is caught by ASan.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device/device_pure.h"

namespace {

bool is_upper_hex_uuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

// The 16 bytes a formatted UUID stands for, in its storage order.
std::string uuid_bytes(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i] == '-') ++i;
        const auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
        bytes.push_back(static_cast<char>(nibble(text[i]) * 16 + nibble(text[i + 1])));
    }
    return bytes;
}

bool ends_blank(const std::string& text) {
    return !text.empty() && (text.back() == ' ' || text.back() == '\t');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::unique_ptr<std::uint8_t[]> table(new std::uint8_t[size == 0 ? 1 : size]);
    if (size > 0) std::memcpy(table.get(), data, size);

    std::size_t examined = 0;
    const component_map components = parse_smbios_table({table.get(), size}, &examined);
    if (examined > kSmbiosMaxStructures) std::abort();
    // Each structure takes at least 6 bytes (4-byte header, two zero bytes), after the 8-byte header.
    if (examined > 0 && (size < 8 || examined > (size - 8) / 6 + 1)) std::abort();
    if (components.size() > 5) std::abort();
    for (const auto& [key, value] : components) {
        if (key != "bios" && key != "system_serial" && key != "system_uuid" && key != "baseboard" &&
            key != "baseboard_product") {
            std::abort();
        }
        if (key == "system_uuid") {
            // Formatted text: always 36 characters, whatever the input's size, and its 16 bytes are
            // 16 consecutive bytes of the input.
            if (!is_upper_hex_uuid(value)) std::abort();
            if (input.find(uuid_bytes(value)) == std::string::npos) std::abort();
        } else {
            // A string value is a piece of the input.
            if (value.size() > size || input.find(value) == std::string::npos) std::abort();
            // A string value holds no zero byte and keeps no trailing blank or tab.
            if (value.find('\0') != std::string::npos || ends_blank(value)) std::abort();
        }
    }

    // The lookup on its own: every index of the whole input read as a string set.
    for (unsigned index = 0; index < 256; ++index) {
        const std::string s = smbios_string(table.get(), size, static_cast<std::uint8_t>(index));
        if (s.size() > size || s.find('\0') != std::string::npos || ends_blank(s)) std::abort();
        if (index == 0 && !s.empty()) std::abort();
        // The text is a piece of the input.
        if (!s.empty() && input.find(s) == std::string::npos) {
            std::abort();
        }
        if (s.empty() && index > size) break;  // nothing further can exist
    }

    // The same bytes as a storage descriptor: the serial is a zero-free piece of the input that ends
    // in no blank, and nothing is read past the buffer.
    const std::string serial = disk_serial_from_descriptor({table.get(), size});
    if (serial.size() > size || serial.find('\0') != std::string::npos) std::abort();
    if (!serial.empty() && (serial.back() == ' ' || size < 28)) std::abort();
    if (!serial.empty() && input.find(serial) == std::string::npos) {
        std::abort();
    }
    return 0;
}
