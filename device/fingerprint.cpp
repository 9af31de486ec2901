// The device fingerprint: nine sources side by side, bounded waits, canonical text, salt, SHA-256; and
// its signature under the deployment's signing key.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "base/handle.h"
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

// The nine sources of one compute_hwid, in start and wait order: 0 the firmware table, 1..8 the probes.
constexpr std::size_t kSourceCount = 9;

// How long the waiting thread lets the runners be busy before it adds one, so that no source waits
// behind a slow or stuck one for longer than this. The system's timer may round it up (to one tick,
// about 16 ms on Windows; Wine keeps milliseconds).
constexpr DWORD kRunnerSliceMs = 2;

// One compute_hwid's sources and what they delivered, shared by the waiting thread and the runner
// threads. Lives on compute_hwid's stack; compute_hwid returns only after every runner has ended.
struct source_run {
    const fingerprint_sources* sources = nullptr;
    // The next source to claim: sources start in order, each exactly once.
    std::atomic<std::size_t> next{0};
    // Runners inside a source (or claiming one); a runner still starting up is not counted.
    std::atomic<std::size_t> busy{0};
    // Set by the runner when its source has returned or thrown; the value is written before.
    std::array<kernel_handle, kSourceCount> done;
    std::optional<component_map> firmware;
    std::array<std::optional<std::string>, 8> probes;
};

bool present(const fingerprint_sources& sources, std::size_t index) {
    return index == 0 ? static_cast<bool>(sources.smbios) : static_cast<bool>(sources.probes[index - 1]);
}

// A runner takes the next unclaimed source until none is left. A source that throws delivers nothing.
DWORD WINAPI run_sources(void* argument) {
    source_run& run = *static_cast<source_run*>(argument);
    for (;;) {
        run.busy.fetch_add(1);  // before the claim: a runner about to run a source never looks idle
        const std::size_t i = run.next.fetch_add(1);
        if (i >= kSourceCount) {
            run.busy.fetch_sub(1);
            return 0;
        }
        try {
            if (i == 0 && run.sources->smbios) {
                run.firmware = run.sources->smbios();
            } else if (i > 0 && run.sources->probes[i - 1]) {
                run.probes[i - 1] = run.sources->probes[i - 1]();
            }
        } catch (...) {
        }
        run.busy.fetch_sub(1);
        SetEvent(run.done[i].get());  // the waiting thread may read the value from here on
    }
}

// The runner threads of one run, joined before the run's state goes away.
struct runner_threads {
    std::vector<kernel_handle> threads;
    ~runner_threads() {
        // Unbounded like the join of any worker: a stuck source keeps compute_hwid until it returns,
        // so nothing of a run outlives it (its values simply go unread).
        for (const kernel_handle& t : threads) WaitForSingleObject(t.get(), INFINITE);
    }
};

bool start_runner(source_run& run, runner_threads& runners) {
    if (runners.threads.size() >= kSourceCount) return false;
    try {
        runners.threads.reserve(kSourceCount);  // no allocation may fail between start and keep
    } catch (...) {
        return false;
    }
    kernel_handle thread{CreateThread(nullptr, 0, run_sources, &run, 0, nullptr)};
    if (!thread) return false;
    runners.threads.push_back(std::move(thread));
    return true;
}

// Waits up to `wait` for source `index`; after each slice in which it is not done, adds a runner when
// sources are still unclaimed and every runner is inside one (a runner still starting up will take the
// next itself). True when the source is done within the wait.
bool wait_for_source(source_run& run, runner_threads& runners, std::size_t index,
                     std::chrono::milliseconds wait) {
    using std::chrono::milliseconds;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const milliseconds::rep left =
            std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const auto slice = static_cast<DWORD>(std::clamp<milliseconds::rep>(left, 0, kRunnerSliceMs));
        if (WaitForSingleObject(run.done[index].get(), slice) == WAIT_OBJECT_0) return true;
        if (left <= static_cast<milliseconds::rep>(kRunnerSliceMs)) {
            return WaitForSingleObject(run.done[index].get(), 0) == WAIT_OBJECT_0;
        }
        if (run.next.load() < kSourceCount && run.busy.load() >= runners.threads.size()) {
            start_runner(run, runners);
        }
    }
}

std::wstring computer_name() {
    // A name that would not fit 255 characters counts as no name.
    std::wstring name = read_env(L"COMPUTERNAME");
    if (name.size() > 255) name.clear();
    return name;
}

// The digest of what the sources delivered, or of the computer name when none delivered a value.
std::wstring finish_hwid(component_map components, component_map* components_out) {
    if (!has_any_value(components)) components["fallback"] = to_utf8(computer_name());
    const std::wstring hwid = hex_lower(sha256_bytes(fingerprint_input(components)));
    if (components_out != nullptr) *components_out = std::move(components);
    return hwid;
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
    // The sources start in order on runner threads: one at first, another whenever the awaited source
    // is not done within a slice while sources are still unclaimed. A fresh thread costs more than
    // most sources take (several milliseconds each under Wine), so quick sources share one, and
    // no source waits behind a slow or stuck one for longer than a slice. The waits are the sources'
    // own: up to `wait` each, one after the other in order; a late value is never read.
    source_run run;
    run.sources = &sources;
    for (kernel_handle& event : run.done) {
        event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        // Without its events no source can be started, as when no thread can be.
        if (!event) return finish_hwid({}, components_out);
    }
    component_map components;
    {
        runner_threads runners;  // declared after `run`: joined before it goes
        const bool started = start_runner(run, runners);
        for (std::size_t i = 0; i < kSourceCount; ++i) {
            // A source that is missing, or that no thread could start, has nothing to wait for.
            if (!started || !present(sources, i)) continue;
            if (!wait_for_source(run, runners, i, sources.wait)) {
                if (sources.on_late) sources.on_late(i);
                continue;
            }
            if (i == 0) {
                if (run.firmware) components = std::move(*run.firmware);
            } else if (run.probes[i - 1]) {
                components[kProbeKeys[i - 1]] = std::move(*run.probes[i - 1]);
            }
        }
    }
    return finish_hwid(std::move(components), components_out);
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
