// Platform-free core of the device fingerprint: the SMBIOS table walk, the probes' value formats and
// the canonical text. Standard headers only; the platform hands its raw data in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Component key -> value, ordered byte-wise (std::string's operator<). An empty value means "not
// available" and is left out of the canonical text.
using component_map = std::map<std::string, std::string>;

// ---- Canonical text -----------------------------------------------------------------------------

// Appended to the canonical text before hashing; the same on every device.
inline constexpr std::string_view kFingerprintSalt = "Tarnwhistl_MACH_PEPR_k4";

// "key=value\n" for every entry with a non-empty value, in map order; nothing escaped or trimmed.
std::string canonical_text(const component_map& components);
// The bytes the fingerprint digest covers: the canonical text followed directly by the salt.
std::string fingerprint_input(const component_map& components);
// True when at least one entry has a non-empty value; otherwise the computer name stands in.
bool has_any_value(const component_map& components);

// ---- SMBIOS -------------------------------------------------------------------------------------

// The walk never examines more structures than this, whatever the table holds.
inline constexpr std::size_t kSmbiosMaxStructures = 256;
// Tables above this size are not read at all.
inline constexpr std::size_t kSmbiosMaxTable = 65536;

// String `index` (1-based) of the string set starting at `strings`, of which `available` bytes lie
// before the end of the table; trailing blanks and tabs removed. Empty for index 0, for an index past
// the last string, and when the table ends first. Never reads past `strings + available`.
std::string smbios_string(const std::uint8_t* strings, std::size_t available, std::uint8_t index);

// Walks the raw RSMB buffer (an 8-byte platform header, then the structure table up to the end of
// the buffer) and collects bios, system_serial, system_uuid, baseboard and baseboard_product. A
// malformed structure ends the walk, keeping what came before. `examined`, when given, receives the
// number of structures looked at (at most kSmbiosMaxStructures).
component_map parse_smbios_table(std::span<const std::uint8_t> table, std::size_t* examined = nullptr);

// The 16 UUID bytes in storage order, upper-case hex, grouped 4-2-2-2-6 bytes: 36 characters.
std::string format_smbios_uuid(const std::uint8_t* bytes);

// ---- Probe values -------------------------------------------------------------------------------

struct cpuid_registers {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
};

// vendor "|" family "." model "." stepping, then "|" brand when the brand is non-empty. `leaf0` and
// `leaf1` are CPUID leaves 0 and 1, `brand` the leaves 0x80000002..0x80000004.
std::string format_cpu(const cpuid_registers& leaf0, const cpuid_registers& leaf1,
                       const std::array<cpuid_registers, 3>& brand);

// One entry of the platform's adapter list, as far as the MAC choice needs it.
struct adapter_record {
    std::uint32_t interface_type = 0;  // 6 Ethernet, 71 IEEE 802.11
    std::uint32_t oper_status = 0;     // 1 up
    std::uint32_t address_length = 0;
    std::array<std::uint8_t, 8> address{};
};

// The 12 upper-case hex digits of the first up Ethernet or Wi-Fi adapter with a 6-byte address that
// is neither 020000000000 nor FFFFFFFFFFFF; empty when there is none.
std::string select_mac(const std::vector<adapter_record>& adapters);

// The serial number of a storage device descriptor (its offset is the 32-bit field at byte 24): the
// bytes from that offset to the first zero byte or the buffer's end, trailing blanks removed. Empty
// when the offset is 0, above 4095, or outside the buffer.
std::string disk_serial_from_descriptor(std::span<const std::uint8_t> descriptor);

// "%08X" of the volume serial number.
std::string format_volume_serial(std::uint32_t serial);
// "%llu" of the total physical memory.
std::string format_memory(std::uint64_t total_bytes);
// "%u" of the installation date; empty for 0.
std::string format_install_date(std::uint32_t install_date);

// ---- Signing key --------------------------------------------------------------------------------

// The signing key from its stored (scrambled) bytes: unscrambled, then cut at its first zero byte.
std::string signing_key_from_stored(std::span<const std::uint8_t> stored);
