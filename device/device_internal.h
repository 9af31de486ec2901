// What only the device module's tests and the fingerprint benchmark see: the fingerprint's sources.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>

#include "device/device.h"

// The sources of compute_hwid. They start in order, each once, on runner threads that quick sources
// share; no source waits for a runner behind a slow or stuck one for longer than a few milliseconds.
// A source that has not delivered within `wait` (counted from the end of the previous wait), that
// cannot be started or that throws is left out.
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
