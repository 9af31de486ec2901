// Wall time of collect_device_identity against its slowest single source, and what each source
// delivers on this machine. Prints figures only; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

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
    std::printf("hwid %ls\nsig  %ls\n", identity.hwid.c_str(), identity.sig.c_str());
    return 0;
}
