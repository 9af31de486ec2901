// The eight fingerprint probes: each asks one platform source and hands the raw data to the pure
// formatters. Any failure gives an empty value; nothing is logged.
#include <winsock2.h>
#include <iphlpapi.h>
#include <winioctl.h>
#include <intrin.h>

#include <vector>

#include "base/handle.h"
#include "base/system.h"
#include "base/text.h"
#include "device/device.h"

namespace {

cpuid_registers cpuid(unsigned leaf) {
    int r[4] = {};
    __cpuid(r, static_cast<int>(leaf));
    return {static_cast<std::uint32_t>(r[0]), static_cast<std::uint32_t>(r[1]), static_cast<std::uint32_t>(r[2]),
            static_cast<std::uint32_t>(r[3])};
}

}  // namespace

std::string probe_cpu() {
    // The highest extended leaf is not asked first: the brand leaves exist on every x86-64 processor.
    return format_cpu(cpuid(0), cpuid(1), {cpuid(0x80000002u), cpuid(0x80000003u), cpuid(0x80000004u)});
}

std::string probe_disk_serial() {
    // No read or write access: a property query needs none, and so works without elevation.
    kernel_handle disk{CreateFileW(L"\\\\.\\PhysicalDrive0", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr)};
    if (!disk) return {};
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<std::uint8_t> descriptor(4096, 0);
    DWORD returned = 0;
    if (!DeviceIoControl(disk.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), descriptor.data(),
                         static_cast<DWORD>(descriptor.size()), &returned, nullptr)) {
        return {};
    }
    return disk_serial_from_descriptor(descriptor);
}

std::string probe_volume_serial() {
    DWORD serial = 0;
    if (!GetVolumeInformationW(L"C:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) return {};
    return format_volume_serial(serial);
}

std::string probe_mac() {
    ULONG size = 0;
    if (GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) return {};
    // 8-byte units: the adapter records hold 64-bit fields.
    std::vector<std::uint64_t> buffer((size + 7) / 8, 0);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    if (GetAdaptersAddresses(AF_INET, 0, nullptr, first, &size) != ERROR_SUCCESS) return {};
    std::vector<adapter_record> adapters;
    for (const IP_ADAPTER_ADDRESSES* a = first; a != nullptr; a = a->Next) {
        adapter_record r;
        r.interface_type = a->IfType;
        r.oper_status = static_cast<std::uint32_t>(a->OperStatus);
        r.address_length = a->PhysicalAddressLength;
        for (std::size_t i = 0; i < r.address.size(); ++i) r.address[i] = a->PhysicalAddress[i];
        adapters.push_back(r);
    }
    return select_mac(adapters);
}

std::string probe_machine_guid() {
    const std::optional<std::wstring> guid =
        read_registry_string(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", L"MachineGuid");
    return guid ? to_utf8(*guid) : std::string();
}

std::string probe_memory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return {};
    return format_memory(status.ullTotalPhys);
}

std::string probe_gpu() {
    DISPLAY_DEVICEW device{};
    device.cb = sizeof(device);
    for (DWORD index = 0; EnumDisplayDevicesW(nullptr, index, &device, 0); ++index) {
        if ((device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) == 0 || device.DeviceString[0] == L'\0') continue;
        const std::size_t capacity = sizeof(device.DeviceString) / sizeof(device.DeviceString[0]);
        std::size_t length = 0;
        while (length < capacity && device.DeviceString[length] != L'\0') ++length;
        return to_utf8(std::wstring_view(device.DeviceString, length));
    }
    return {};
}

std::string probe_os_install_date() {
    reg_key key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        return {};
    }
    DWORD value = 0;
    DWORD size = sizeof(value);
    // A value that does not fit the four bytes leaves them undefined: such a date is not used.
    if (RegQueryValueExW(key.get(), L"InstallDate", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return format_install_date(value);
}
