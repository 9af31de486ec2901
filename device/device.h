// Device identity: the fingerprint (HWID) from firmware, hardware and OS identifiers, and its signature.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>

#include "device/device_pure.h"

struct DeviceIdentity {
    std::wstring hwid;
    std::wstring sig;
};

// The fingerprint and its signature; an empty hwid means no fingerprint (sig is then empty too).
// Never throws.
DeviceIdentity collect_device_identity();
// 64 lower-case hex characters: SHA-256 of the canonical text of the nine sources plus the salt.
// Returns only when every source thread has ended.
std::wstring compute_hwid();
// HMAC-SHA256 of the hwid's 64 characters under the signing key; empty for an empty hwid.
std::wstring sign_hwid(const std::wstring& hwid);

// The SMBIOS reader and the eight probes (empty when the source is not available).
component_map read_smbios_components();
std::string probe_cpu();
std::string probe_disk_serial();
std::string probe_volume_serial();
std::string probe_mac();
std::string probe_machine_guid();
std::string probe_memory();
std::string probe_gpu();
std::string probe_os_install_date();

// ---- Internal, for tests and the benchmark ------------------------------------------------------

// The sources of compute_hwid. Each runs on a thread of its own; a source that has not delivered
// within `wait` (counted from the end of the previous wait), that cannot be started or that throws
// is left out.
struct fingerprint_sources {
    std::function<component_map()> smbios;
    // In start and wait order: cpu, disk, volume, mac, machineguid, mem, gpu, osinstall.
    std::array<std::function<std::string()>, 8> probes;
    std::chrono::milliseconds wait{5000};
    // Called on the waiting thread when a source is left out because it had not delivered within its
    // wait (0: the firmware table, 1..8: the probes in the order above). Lets a test hold a source
    // back until the wait for it is over.
    std::function<void(std::size_t source)> on_late;
};

// The real reader and probes with the 5-second wait.
fingerprint_sources machine_sources();
// The keys the probes' values are stored under, in the order of fingerprint_sources::probes.
extern const std::array<const char*, 8> kProbeKeys;
// compute_hwid over the given sources; `components`, when given, receives the map that was hashed.
std::wstring compute_hwid(const fingerprint_sources& sources, component_map* components = nullptr);
