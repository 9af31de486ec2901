#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_pure.h"

namespace {

// "GenuineIntel" and "AuthenticAMD" as the processor reports them: EBX, EDX, ECX of leaf 0.
const cpuid_registers intel_leaf0{0x0000001Bu, 0x756E6547u, 0x6C65746Eu, 0x49656E69u};
const cpuid_registers amd_leaf0{0x00000010u, 0x68747541u, 0x444D4163u, 0x69746E65u};

// 48 brand bytes into the twelve registers, four bytes each, little-endian as the processor stores them.
std::array<cpuid_registers, 3> brand_leaves(const std::string& text) {
    std::string bytes = text;
    bytes.resize(48, '\0');
    std::array<cpuid_registers, 3> leaves{};
    auto word = [&bytes](std::size_t at) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + i])) << (8 * i);
        return v;
    };
    for (std::size_t leaf = 0; leaf < 3; ++leaf) {
        leaves[leaf] = {word(leaf * 16), word(leaf * 16 + 4), word(leaf * 16 + 8), word(leaf * 16 + 12)};
    }
    return leaves;
}

adapter_record adapter(std::uint32_t type, std::uint32_t status, std::vector<std::uint8_t> address) {
    adapter_record r;
    r.interface_type = type;
    r.oper_status = status;
    r.address_length = static_cast<std::uint32_t>(address.size());
    for (std::size_t i = 0; i < address.size() && i < r.address.size(); ++i) r.address[i] = address[i];
    return r;
}

std::vector<std::uint8_t> descriptor_with_serial(std::uint32_t offset, const std::string& serial) {
    std::vector<std::uint8_t> d(4096, 0);
    for (std::size_t i = 0; i < 4; ++i) d[24 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
    for (std::size_t i = 0; i < serial.size() && offset + i < d.size(); ++i) {
        d[offset + i] = static_cast<std::uint8_t>(serial[i]);
    }
    return d;
}

}  // namespace

TEST(cpu_value, family_model_and_stepping_from_the_signature) {
    struct row {
        const char* name;
        cpuid_registers leaf0;
        std::uint32_t signature;
        std::string brand;
        std::string want;
    };
    const row rows[] = {
        // Base family 6, extended model 9, base model 0xE, stepping 0xA.
        {"intel", intel_leaf0, 0x000906EAu, "Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz",
         "GenuineIntel|6.158.10|Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz"},
        // Family 0xF + extended 0xA = 25; model 0x21.
        {"amd", amd_leaf0, 0x00A20F10u, "AMD Ryzen 5 5600X 6-Core Processor",
         "AuthenticAMD|25.33.0|AMD Ryzen 5 5600X 6-Core Processor"},
        // The extended family counts even when the base family is not 0xF.
        {"extended family on base 6", intel_leaf0, 0x00100600u, "x", "GenuineIntel|7.0.0|x"},
        // And the extended model even on family 0xF.
        {"extended model on base F", intel_leaf0, 0x000F0F41u, "x", "GenuineIntel|15.244.1|x"},
        // Brand leaves of zeros: no second bar.
        {"no brand", intel_leaf0, 0x000906EAu, "", "GenuineIntel|6.158.10"},
        // Blanks around the brand stay; the brand ends at its first zero byte.
        {"padded brand", intel_leaf0, 0x00000000u, std::string("   Brand  \0junk", 15), "GenuineIntel|0.0.0|   Brand  "},
        // A full 48-byte brand without a terminator.
        {"48-byte brand", intel_leaf0, 0x1u, std::string(48, 'B'), "GenuineIntel|0.0.1|" + std::string(48, 'B')},
        // A vendor text with a zero inside ends there.
        {"short vendor", {0, 0x00006241u, 0, 0x43434343u}, 0x0u, "", "Ab|0.0.0"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(format_cpu(r.leaf0, {r.signature, 0, 0, 0}, brand_leaves(r.brand)), r.want);
    }
}

TEST(mac_value, first_up_ethernet_or_wifi_adapter_with_a_real_address) {
    const std::vector<std::uint8_t> a1 = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    const std::vector<std::uint8_t> a2 = {0xF4, 0x8c, 0x50, 0x0a, 0xbc, 0xde};
    struct row {
        const char* name;
        std::vector<adapter_record> adapters;
        const char* want;
    };
    const row rows[] = {
        {"ethernet", {adapter(6, 1, a1)}, "001A2B3C4D5E"},
        {"wifi after a disconnected ethernet", {adapter(6, 2, a1), adapter(71, 1, a2)}, "F48C500ABCDE"},
        {"first qualifying wins", {adapter(71, 1, a2), adapter(6, 1, a1)}, "F48C500ABCDE"},
        {"other interface types never", {adapter(24, 1, a1), adapter(131, 1, a2), adapter(53, 1, a1)}, ""},
        {"placeholder 02-00-00-00-00-00 skipped", {adapter(6, 1, {2, 0, 0, 0, 0, 0}), adapter(6, 1, a1)},
         "001A2B3C4D5E"},
        {"broadcast skipped", {adapter(71, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), adapter(6, 1, a2)},
         "F48C500ABCDE"},
        {"only placeholders", {adapter(6, 1, {2, 0, 0, 0, 0, 0}), adapter(6, 1, std::vector<std::uint8_t>(6, 0xFF))},
         ""},
        {"02 with other bytes is real", {adapter(6, 1, {2, 0, 0, 0, 0, 1})}, "020000000001"},
        {"address length must be six", {adapter(6, 1, {1, 2, 3, 4, 5, 6, 7, 8}), adapter(6, 1, {1, 2, 3, 4, 5})}, ""},
        {"down adapters", {adapter(6, 2, a1), adapter(71, 7, a2)}, ""},
        {"none", {}, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(select_mac(r.adapters), r.want);
    }
}

TEST(disk_value, serial_at_the_descriptor_offset_with_trailing_blanks_removed) {
    struct row {
        const char* name;
        std::vector<std::uint8_t> descriptor;
        std::string want;
    };
    const row rows[] = {
        {"plain", descriptor_with_serial(0x40, "WD-WCC4E1234567"), "WD-WCC4E1234567"},
        {"blanks", descriptor_with_serial(0x40, "   S3Z9NB0K12345    "), "   S3Z9NB0K12345"},
        {"a trailing tab stays", descriptor_with_serial(0x40, "ABC\t  "), "ABC\t"},
        {"offset 0", descriptor_with_serial(0, "ignored"), ""},
        {"offset 4096", descriptor_with_serial(4096, ""), ""},
        {"offset far beyond", descriptor_with_serial(0x7FFFFFFFu, ""), ""},
        {"offset 4095 runs to the end", descriptor_with_serial(4095, "Z"), "Z"},
        {"only blanks", descriptor_with_serial(0x40, "    "), ""},
        {"too short to hold the offset", std::vector<std::uint8_t>(27, 0x40), ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(disk_serial_from_descriptor(r.descriptor), r.want);
    }
    // An offset inside a shorter buffer: the serial ends with the buffer, not past it.
    std::vector<std::uint8_t> short_descriptor = descriptor_with_serial(30, "");
    short_descriptor.resize(34);
    short_descriptor[30] = 'Q';
    short_descriptor[31] = 'R';
    short_descriptor[32] = 'S';
    short_descriptor[33] = 'T';
    EXPECT_EQ(disk_serial_from_descriptor(short_descriptor), "QRST");
}

TEST(number_values, volume_memory_and_install_date_texts) {
    EXPECT_EQ(format_volume_serial(43981), "0000ABCD");
    EXPECT_EQ(format_volume_serial(0), "00000000");
    EXPECT_EQ(format_volume_serial(0xDEADBEEFu), "DEADBEEF");
    EXPECT_EQ(format_memory(0), "0");
    EXPECT_EQ(format_memory(17179869184ull), "17179869184");
    EXPECT_EQ(format_memory(18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(format_install_date(0), "");
    EXPECT_EQ(format_install_date(1), "1");
    EXPECT_EQ(format_install_date(1698765432u), "1698765432");
    EXPECT_EQ(format_install_date(4294967295u), "4294967295");
}

TEST(canonical_text, byte_order_of_keys_and_no_empty_values) {
    const component_map components = {
        {"volume", "0000ABCD"},  {"system_uuid", "U"}, {"system_serial", ""}, {"osinstall", "1698765432"},
        {"mem", "8589934592"},   {"machineguid", "g"}, {"mac", "001A2B3C4D5E"}, {"gpu", ""},
        {"disk", "  D"},         {"cpu", "c"},         {"bios", "b"},          {"baseboard_product", "P"},
        {"baseboard", "B"},
    };
    EXPECT_EQ(canonical_text(components),
              "baseboard=B\nbaseboard_product=P\nbios=b\ncpu=c\ndisk=  D\nmac=001A2B3C4D5E\nmachineguid=g\n"
              "mem=8589934592\nosinstall=1698765432\nsystem_uuid=U\nvolume=0000ABCD\n");
    EXPECT_EQ(fingerprint_input({{"mem", "8589934592"}, {"volume", "0000ABCD"}}),
              "mem=8589934592\nvolume=0000ABCD\nTarnwhistl_MACH_PEPR_k4");
    // Separators inside values are copied as they are.
    EXPECT_EQ(canonical_text({{"gpu", "a=b\nc"}}), "gpu=a=b\nc\n");
    EXPECT_EQ(fingerprint_input({{"cpu", ""}, {"disk", ""}}), "Tarnwhistl_MACH_PEPR_k4");
    EXPECT_EQ(fingerprint_input({}), "Tarnwhistl_MACH_PEPR_k4");
    EXPECT_EQ(kFingerprintSalt.size(), 23u);
}

TEST(canonical_text, the_computer_name_stands_in_only_without_any_value) {
    EXPECT_FALSE(has_any_value({}));
    EXPECT_FALSE(has_any_value({{"cpu", ""}, {"mac", ""}}));
    EXPECT_TRUE(has_any_value({{"cpu", ""}, {"mac", "0"}}));
}

TEST(signing_key, unscrambled_and_cut_at_the_first_zero_byte) {
    // Stored byte i is the key byte XOR (90 + 7 i) mod 256.
    const std::uint8_t abc[] = {0x3B, 0x03, 0x0B};
    EXPECT_EQ(signing_key_from_stored(abc), "abc");
    const std::uint8_t ab_zero_c[] = {0x3B, 0x03, 0x68, 0x0C};
    EXPECT_EQ(signing_key_from_stored(ab_zero_c), "ab");
    const std::uint8_t zero_first[] = {0x5A, 0x03};
    EXPECT_EQ(signing_key_from_stored(zero_first), "");
    // Byte 24 wraps the mask: (90 + 168) mod 256 = 2.
    std::vector<std::uint8_t> long_key(34);
    for (std::size_t i = 0; i < long_key.size(); ++i) long_key[i] = static_cast<std::uint8_t>('k' ^ ((90 + 7 * i) % 256));
    EXPECT_EQ(signing_key_from_stored(long_key), std::string(34, 'k'));
}
