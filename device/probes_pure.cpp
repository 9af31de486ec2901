// The exact text forms of the probe values. Every format feeds the fingerprint digest byte for byte.
#include "device/device_pure.h"

#include "base/text_pure.h"

namespace {

// The register's bytes in memory order (little-endian), as the processor stores its texts.
void append_register(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFFu);
}

std::string up_to_first_zero(const std::string& bytes) {
    return bytes.substr(0, bytes.find('\0'));
}

}  // namespace

std::string format_cpu(const cpuid_registers& leaf0, const cpuid_registers& leaf1,
                       const std::array<cpuid_registers, 3>& brand) {
    std::string vendor;
    append_register(vendor, leaf0.ebx);
    append_register(vendor, leaf0.edx);
    append_register(vendor, leaf0.ecx);
    vendor = up_to_first_zero(vendor);

    std::string brand_text;
    for (const cpuid_registers& leaf : brand) {
        append_register(brand_text, leaf.eax);
        append_register(brand_text, leaf.ebx);
        append_register(brand_text, leaf.ecx);
        append_register(brand_text, leaf.edx);
    }
    brand_text = up_to_first_zero(brand_text);  // blanks around the brand stay

    const std::uint32_t s = leaf1.eax;
    // The extended family and model are always added, whatever the base family says.
    const std::uint32_t family = ((s >> 8) & 0xFu) + ((s >> 20) & 0xFFu);
    const std::uint32_t model = ((s >> 12) & 0xF0u) + ((s >> 4) & 0xFu);
    const std::uint32_t stepping = s & 0xFu;

    std::string value = vendor + "|" + decimal_text(family) + "." + decimal_text(model) + "." +
                        decimal_text(stepping);
    if (!brand_text.empty()) value += "|" + brand_text;
    return value;
}

std::string select_mac(const std::vector<adapter_record>& adapters) {
    for (const adapter_record& a : adapters) {
        if (a.interface_type != 6 && a.interface_type != 71) continue;
        if (a.oper_status != 1 || a.address_length != 6) continue;
        std::string text;
        for (std::size_t i = 0; i < 6; ++i) append_hex(text, a.address[i], hex_case::upper);
        // Placeholder addresses of virtual and unconfigured adapters say nothing about the device.
        if (text == "020000000000" || text == "FFFFFFFFFFFF") continue;
        return text;
    }
    return {};
}

std::string disk_serial_from_descriptor(std::span<const std::uint8_t> descriptor) {
    if (descriptor.size() < 28) return {};
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < 4; ++i) offset |= static_cast<std::uint32_t>(descriptor[24 + i]) << (8 * i);
    if (offset == 0 || offset > 4095 || offset >= descriptor.size()) return {};
    std::string serial;
    for (std::size_t i = offset; i < descriptor.size() && descriptor[i] != 0; ++i) {
        serial += static_cast<char>(descriptor[i]);
    }
    // Only blanks: the descriptor pads serials with them; tabs and leading blanks stay.
    while (!serial.empty() && serial.back() == ' ') serial.pop_back();
    return serial;
}

std::string format_volume_serial(std::uint32_t serial) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        append_hex(text, static_cast<std::uint8_t>(serial >> shift), hex_case::upper);
    }
    return text;
}

std::string format_memory(std::uint64_t total_bytes) {
    return decimal_text(total_bytes);
}

std::string format_install_date(std::uint32_t install_date) {
    if (install_date == 0) return {};
    return decimal_text(install_date);
}
