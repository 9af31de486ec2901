// The SMBIOS reader: fetches the raw firmware table; the walk itself is platform-free.
#include <windows.h>

#include <vector>

#include "device/device.h"

component_map read_smbios_components() {
    constexpr DWORD provider = 0x52534D42;  // 'RSMB'
    const UINT size = GetSystemFirmwareTable(provider, 0, nullptr, 0);
    if (size == 0 || size > kSmbiosMaxTable) return {};
    std::vector<std::uint8_t> table(size, 0);
    // A table that changed size between the two calls is not trusted.
    if (GetSystemFirmwareTable(provider, 0, table.data(), size) != size) return {};
    return parse_smbios_table(table);
}
