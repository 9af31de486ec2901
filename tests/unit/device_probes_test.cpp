#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "device/device.h"
#include "base/handle.h"
#include "tests/support/support.h"

namespace {

// Replaces one HKLM value (64-bit view) for the length of a test and puts the original back,
// or removes the value again when there was none.
struct scoped_hklm_value {
    reg_key key;
    std::wstring name;
    bool existed = false;
    DWORD type = 0;
    std::vector<BYTE> data;

    scoped_hklm_value(const wchar_t* path, const wchar_t* value_name) : name(value_name) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), value_name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            data.resize(size);
            existed = RegQueryValueExW(key.get(), value_name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
        }
    }
    ~scoped_hklm_value() {
        if (existed) {
            RegSetValueExW(key.get(), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
        } else {
            RegDeleteValueW(key.get(), name.c_str());
        }
    }
    void set(DWORD value_type, const void* bytes, std::size_t size) {
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, value_type, static_cast<const BYTE*>(bytes),
                                 static_cast<DWORD>(size)),
                  ERROR_SUCCESS);
    }
    void remove() { RegDeleteValueW(key.get(), name.c_str()); }
};

constexpr wchar_t kCryptography[] = L"SOFTWARE\\Microsoft\\Cryptography";
constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// "4f78" -> "Ox"; the oracle writes its texts as hex so that every byte arrives unchanged.
std::string bytes_of_hex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

bool all_of(const std::string& s, const char* alphabet) {
    return !s.empty() && s.find_first_not_of(alphabet) == std::string::npos;
}

}  // namespace

TEST(probe_machine_guid, only_a_string_value_and_its_text_unchanged) {
    scoped_hklm_value guid(kCryptography, L"MachineGuid");
    struct row {
        const char* name;
        DWORD type;
        std::wstring data;
        std::size_t bytes;  // of data, as stored
        const char* want;
    };
    const std::wstring text = L"{3F2504E0-4f89-11D3-9A0C-0305E82C3301} ";
    const std::wstring cyrillic = L"\x0433\x0443\x0438\x0434";
    const row rows[] = {
        {"as stored", REG_SZ, text, (text.size() + 1) * 2, "{3F2504E0-4f89-11D3-9A0C-0305E82C3301} "},
        {"without its zero unit", REG_SZ, text, text.size() * 2, "{3F2504E0-4f89-11D3-9A0C-0305E82C3301} "},
        {"stops at the first zero unit", REG_SZ, std::wstring(L"ab\0cd", 5), 12, "ab"},
        {"UTF-8", REG_SZ, cyrillic, (cyrillic.size() + 1) * 2, "\xD0\xB3\xD1\x83\xD0\xB8\xD0\xB4"},
        {"expandable string", REG_EXPAND_SZ, text, (text.size() + 1) * 2, ""},
        {"binary", REG_BINARY, text, text.size() * 2, ""},
        {"empty string", REG_SZ, L"", 2, ""},
        {"one byte", REG_SZ, L"a", 1, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        guid.set(r.type, r.data.c_str(), r.bytes);
        EXPECT_EQ(probe_machine_guid(), r.want);
    }
    guid.remove();
    EXPECT_EQ(probe_machine_guid(), "");
}

TEST(probe_os_install_date, decimal_of_a_four_byte_value_and_nothing_for_zero) {
    scoped_hklm_value date(kCurrentVersion, L"InstallDate");
    struct row {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
        const char* want;
    };
    const row rows[] = {
        {"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, "305419896"},
        {"top bit set", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
        {"zero", REG_DWORD, {0, 0, 0, 0}, ""},
        {"type is not examined", REG_BINARY, {0x01, 0x00, 0x00, 0x00}, "1"},
        // Eight bytes do not fit the four offered: the platform fills nothing reliable, so no value.
        {"too large", REG_QWORD, {0x02, 0, 0, 0, 0x01, 0, 0, 0}, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        date.set(r.type, r.data.data(), r.data.size());
        EXPECT_EQ(probe_os_install_date(), r.want);
    }
    date.remove();
    EXPECT_EQ(probe_os_install_date(), "");
}

TEST(probes, values_of_this_machine_in_their_formats) {
    const std::string volume = probe_volume_serial();
    if (!volume.empty()) {
        EXPECT_EQ(volume.size(), 8u);
        EXPECT_TRUE(all_of(volume, "0123456789ABCDEF")) << volume;
    }
    const std::string mem = probe_memory();
    EXPECT_TRUE(all_of(mem, "0123456789")) << mem;
    EXPECT_NE(mem[0], '0');
    const std::string mac = probe_mac();
    if (!mac.empty()) {
        EXPECT_EQ(mac.size(), 12u);
        EXPECT_TRUE(all_of(mac, "0123456789ABCDEF")) << mac;
    }
    EXPECT_FALSE(read_smbios_components().size() > 5);
}

// The oracle is the processor itself: tests/oracles/cpuid.cpp runs the same instruction natively on the
// Linux side before this test (the cpuid_oracle fixture) and writes the raw fields, decoded on their
// own, to QUILLMARSH_CPUID_ORACLE. Under Wine the probe's CPUID runs on that same processor. The
// kernel's /proc/cpuinfo is no oracle: its "model name" is its own text, not always the brand string.
TEST(probe_cpu, equals_the_processors_own_cpuid_read_natively) {
    const std::wstring oracle_path = support::own_env(L"QUILLMARSH_CPUID_ORACLE");
    ASSERT_FALSE(oracle_path.empty()) << "QUILLMARSH_CPUID_ORACLE is unset: run through ctest, whose "
                                         "cpuid_oracle fixture writes the file";
    const std::optional<std::string> oracle = support::read_file(support::windows_path(oracle_path));
    ASSERT_TRUE(oracle.has_value()) << "no oracle file " << support::narrow(oracle_path);
    std::map<std::string, std::string> field;
    std::istringstream lines(*oracle);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) field[line.substr(0, equals)] = line.substr(equals + 1);
    }
    for (const char* name : {"vendor_hex", "base_family", "ext_family", "base_model", "ext_model", "stepping",
                             "brand_hex"}) {
        ASSERT_EQ(field.count(name), 1u) << name;
    }
    const std::string vendor = bytes_of_hex(field["vendor_hex"]);
    const std::string brand = bytes_of_hex(field["brand_hex"]);
    ASSERT_EQ(vendor.size(), 12u);
    ASSERT_EQ(brand.size(), 48u);
    const auto number = [&](const char* name) { return std::stoul(field[name]); };

    // The probe's form: texts up to their first zero byte, blanks kept; the extended family and model
    // always added; the brand part only when the brand is not empty.
    std::string want = vendor.substr(0, vendor.find('\0')) + "|" +
                       std::to_string(number("base_family") + number("ext_family")) + "." +
                       std::to_string(number("ext_model") * 16 + number("base_model")) + "." +
                       std::to_string(number("stepping"));
    const std::string brand_text = brand.substr(0, brand.find('\0'));
    if (!brand_text.empty()) want += "|" + brand_text;
    EXPECT_EQ(probe_cpu(), want);
}
