// Wall time of collect_device_identity against its slowest single source and against one runner thread
// running all nine sources in a row (the floor on this system), and what each source
// delivers on this machine. Prints figures only; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>

#include "device/device_internal.h"

namespace {

using clock_type = std::chrono::steady_clock;

double milliseconds_of(const std::function<void()>& work) {
    const clock_type::time_point start = clock_type::now();
    work();
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// The smallest of `runs` timings: the least disturbed by the other work on the machine.
double best_of(int runs, const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) best = std::min(best, milliseconds_of(work));
    return best;
}

std::string printable(const std::string& value) {
    if (value.empty()) return "(empty)";
    std::string out;
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

}  // namespace

int wmain() {
    constexpr int runs = 5;
    // The whole fingerprint more often: on a shared machine its median needs more samples to settle.
    constexpr int identity_runs = 15;
    const fingerprint_sources sources = machine_sources();

    std::printf("%-22s %10s  %s\n", "source", "best ms", "value");
    double slowest = 0;
    double sum = 0;
    std::string slowest_name;
    component_map firmware;
    const double smbios_ms = best_of(runs, [&] { firmware = sources.smbios(); });
    std::printf("%-22s %10.2f  %zu keys\n", "read_smbios_components", smbios_ms, firmware.size());
    for (const auto& [key, value] : firmware) std::printf("%-22s %10s  %s\n", ("  " + key).c_str(), "", printable(value).c_str());
    slowest = smbios_ms;
    sum = smbios_ms;
    slowest_name = "read_smbios_components";

    for (std::size_t i = 0; i < sources.probes.size(); ++i) {
        std::string value;
        const double ms = best_of(runs, [&] { value = sources.probes[i](); });
        std::printf("%-22s %10.2f  %s\n", kProbeKeys[i], ms, printable(value).c_str());
        sum += ms;
        if (ms > slowest) {
            slowest = ms;
            slowest_name = kProbeKeys[i];
        }
    }

    // The cost of one runner thread on this system, from CreateThread to the end of its join, empty and
    // with all nine sources in a row: the floor of any fingerprint whose sources run off the calling
    // thread (Wine starts a thread in milliseconds, Windows in a fraction of one).
    std::vector<double> empty_thread;
    std::vector<double> one_runner;
    static const fingerprint_sources* all_sources = &sources;
    const LPTHREAD_START_ROUTINE nothing = [](void*) -> DWORD { return 0; };
    const LPTHREAD_START_ROUTINE all_nine = [](void*) -> DWORD {
        (void)all_sources->smbios();
        for (const auto& probe : all_sources->probes) (void)probe();
        return 0;
    };
    const auto on_thread = [](LPTHREAD_START_ROUTINE body) {
        HANDLE thread = CreateThread(nullptr, 0, body, nullptr, 0, nullptr);
        if (thread == nullptr) return;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    };
    for (int i = 0; i < identity_runs; ++i) {
        empty_thread.push_back(milliseconds_of([&] { on_thread(nothing); }));
        one_runner.push_back(milliseconds_of([&] { on_thread(all_nine); }));
    }
    std::sort(empty_thread.begin(), empty_thread.end());
    std::sort(one_runner.begin(), one_runner.end());

    DeviceIdentity identity;
    std::vector<double> times;
    for (int i = 0; i < identity_runs; ++i) {
        times.push_back(milliseconds_of([&] { identity = collect_device_identity(); }));
    }
    std::sort(times.begin(), times.end());

    const double median = times[times.size() / 2];
    std::printf("\nslowest single source: %s, %.2f ms; all nine one after the other: %.2f ms\n",
                slowest_name.c_str(), slowest, sum);
    std::printf("collect_device_identity over %d runs: best %.2f ms, median %.2f ms, worst %.2f ms\n",
                identity_runs, times.front(), median, times.back());
    std::printf("median / slowest source: %.2f\n", median / slowest);
    std::printf("one empty thread, start to join: median %.2f ms; all nine in a row on one fresh thread: "
                "median %.2f ms (%.2f x the slowest source)\n",
                empty_thread[empty_thread.size() / 2], one_runner[one_runner.size() / 2],
                one_runner[one_runner.size() / 2] / slowest);
    std::printf("hwid %ls\nsig  %ls\n", identity.hwid.c_str(), identity.sig.c_str());
    return 0;
}
