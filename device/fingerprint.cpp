// The device fingerprint: nine sources in parallel, bounded waits, canonical text, salt, SHA-256; and
// its signature under the deployment's signing key.
#include <future>
#include <mutex>
#include <optional>

#include "base/system.h"
#include "base/text.h"
#include "deployment_values.h"
#include "device/device_internal.h"
#include "net/net.h"

namespace {

// Built once by signing_key() under g_signing_key_once (any thread), only read afterwards.
std::once_flag g_signing_key_once;
std::string g_signing_key;

const std::string& signing_key() {
    std::call_once(g_signing_key_once, [] { g_signing_key = signing_key_from_stored(deployment::hwid_key); });
    return g_signing_key;
}

// Starts `source` on a thread of its own. A thread that cannot be started leaves the future empty,
// which the caller treats like a source that never delivered.
template <typename Result>
std::future<Result> start_source(const std::function<Result()>& source) {
    if (!source) return {};
    try {
        return std::async(std::launch::async, source);
    } catch (...) {
        return {};
    }
}

// The value if the task delivered within `wait`; nothing if it is late, never started or threw.
template <typename Result>
std::optional<Result> take_if_ready(std::future<Result>& task, const fingerprint_sources& sources,
                                    std::size_t index) {
    if (!task.valid()) return std::nullopt;
    if (task.wait_for(sources.wait) != std::future_status::ready) {
        if (sources.on_late) sources.on_late(index);
        return std::nullopt;
    }
    // A source that threw is treated like one that had nothing to say in time.
    try {
        return task.get();
    } catch (...) {
        return std::nullopt;
    }
}

std::wstring computer_name() {
    // A name that would not fit 255 characters counts as no name.
    std::wstring name = read_env(L"COMPUTERNAME");
    if (name.size() > 255) name.clear();
    return name;
}

}  // namespace

const std::array<const char*, 8> kProbeKeys = {"cpu", "disk", "volume", "mac", "machineguid", "mem", "gpu",
                                               "osinstall"};

fingerprint_sources machine_sources() {
    fingerprint_sources sources;
    sources.smbios = &read_smbios_components;
    sources.probes = {&probe_cpu,          &probe_disk_serial, &probe_volume_serial, &probe_mac,
                      &probe_machine_guid, &probe_memory,      &probe_gpu,           &probe_os_install_date};
    sources.wait = std::chrono::milliseconds(5000);
    return sources;
}

std::wstring compute_hwid(const fingerprint_sources& sources, component_map* components_out) {
    // All nine start before the first wait, so they run side by side. Futures from std::async wait
    // for their thread when destroyed: this function returns only after every source has ended, and
    // a late value is simply never read.
    std::future<component_map> smbios = start_source(sources.smbios);
    std::array<std::future<std::string>, 8> probes;
    for (std::size_t i = 0; i < probes.size(); ++i) probes[i] = start_source(sources.probes[i]);

    component_map components;
    if (std::optional<component_map> firmware = take_if_ready(smbios, sources, 0)) {
        components = std::move(*firmware);
    }
    // One wait after the other: a probe later in the order has had longer by the time it is asked.
    for (std::size_t i = 0; i < probes.size(); ++i) {
        if (std::optional<std::string> value = take_if_ready(probes[i], sources, i + 1)) {
            components[kProbeKeys[i]] = std::move(*value);
        }
    }
    if (!has_any_value(components)) components["fallback"] = to_utf8(computer_name());

    const std::wstring hwid = hex_lower(sha256_bytes(fingerprint_input(components)));
    if (components_out != nullptr) *components_out = std::move(components);
    return hwid;
}

std::wstring compute_hwid() {
    return compute_hwid(machine_sources());
}

std::wstring sign_hwid(const std::wstring& hwid) {
    if (hwid.empty()) return {};
    return hex_lower(hmac_sha256(signing_key(), to_utf8(hwid)));
}

std::string hwid_signing_key() {
    return signing_key();
}

DeviceIdentity collect_device_identity() {
    DeviceIdentity identity;
    // The device check expects an answer, never an exception: out of memory here means no
    // fingerprint, which the stage reports as such.
    try {
        identity.hwid = compute_hwid();
        if (!identity.hwid.empty()) identity.sig = sign_hwid(identity.hwid);
    } catch (...) {
        identity = {};
    }
    return identity;
}
