// Device identity: the fingerprint (HWID) from firmware, hardware and OS identifiers, and its signature.
#pragma once

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
// A copy of the signing key's bytes, for an HMAC made apart from the fingerprint (a failure report's
// body, on a thread that must not read this module's values while the process ends). Never logged or sent.
std::string hwid_signing_key();

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
