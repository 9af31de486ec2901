#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <stdexcept>
#include <vector>

#include "deployment_values.h"
#include "device/device_internal.h"
#include "base/handle.h"

using namespace std::chrono_literals;

namespace {

// Sources that deliver nothing; tests replace the ones they need.
fingerprint_sources quiet_sources(std::chrono::milliseconds wait) {
    fingerprint_sources s;
    s.smbios = [] { return component_map{}; };
    for (auto& p : s.probes) p = [] { return std::string(); };
    s.wait = wait;
    return s;
}

enum probe_index { cpu, disk, volume, mac, machineguid, mem, gpu, osinstall };

// Sets (or removes, for nullptr) an environment variable for one test and puts the old state back.
struct scoped_env {
    std::wstring name;
    std::optional<std::wstring> saved;
    scoped_env(const wchar_t* n, const wchar_t* value) : name(n) {
        wchar_t buffer[32768] = {};
        SetLastError(ERROR_SUCCESS);
        const DWORD got = GetEnvironmentVariableW(n, buffer, 32768);
        if (got > 0 || GetLastError() == ERROR_SUCCESS) saved = std::wstring(buffer, got);
        SetEnvironmentVariableW(n, value);
    }
    ~scoped_env() { SetEnvironmentVariableW(name.c_str(), saved ? saved->c_str() : nullptr); }
};

bool is_lower_hex_64(const std::wstring& text) {
    if (text.size() != 64) return false;
    for (wchar_t c : text) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return true;
}

}  // namespace

TEST(compute_hwid, digest_of_the_canonical_text_and_the_salt) {
    fingerprint_sources s = quiet_sources(5000ms);
    s.probes[mem] = [] { return std::string("8589934592"); };
    s.probes[volume] = [] { return std::string("0000ABCD"); };
    component_map used;
    // Expected value from Python's hashlib over "mem=8589934592\nvolume=0000ABCD\nTarnwhistl_MACH_PEPR_k4".
    EXPECT_EQ(compute_hwid(s, &used), L"b2627de9c4c4d95ccebad43d34c0850b69b9bb01e2d6a5611ac08e414cc04aec");
    // Every probe that delivered is stored, empty ones too (the canonical text leaves those out).
    EXPECT_EQ(used.size(), 8u);
    EXPECT_EQ(used.at("mem"), "8589934592");
    EXPECT_EQ(used.at("gpu"), "");
}

TEST(compute_hwid, the_firmware_map_is_the_start_and_probes_replace_its_keys) {
    fingerprint_sources s = quiet_sources(5000ms);
    s.smbios = [] { return component_map{{"bios", "B"}, {"cpu", "from-firmware"}, {"system_uuid", "U"}}; };
    s.probes[cpu] = [] { return std::string("from-probe"); };
    component_map used;
    compute_hwid(s, &used);
    EXPECT_EQ(used.at("bios"), "B");
    EXPECT_EQ(used.at("system_uuid"), "U");
    EXPECT_EQ(used.at("cpu"), "from-probe");
}

TEST(compute_hwid, late_empty_throwing_and_unstartable_sources_are_alike) {
    // A late source is held back until compute_hwid reports that its wait is over, so "late" never
    // depends on how fast this machine is. The wait is long enough for the quick sources to deliver on
    // a busy machine; the bound on the hold only keeps a broken build from hanging the test.
    const auto wait = 3000ms;
    kernel_handle firmware_released{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    kernel_handle gpu_released{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ASSERT_TRUE(firmware_released && gpu_released);
    std::atomic<bool> late_probe_ended{false};
    struct variant {
        const char* name;
        std::function<std::string()> gpu_probe;
        std::function<component_map()> smbios;
        bool gpu_key_present;
    };
    const variant variants[] = {
        {"empty", [] { return std::string(); }, [] { return component_map{}; }, true},
        {"late",
         [&] {
             WaitForSingleObject(gpu_released.get(), 60000);
             late_probe_ended = true;
             return std::string("late value");
         },
         [&] {
             WaitForSingleObject(firmware_released.get(), 60000);
             return component_map{{"bios", "late firmware"}};
         },
         false},
        {"throws", []() -> std::string { throw std::runtime_error("device gone"); },
         []() -> component_map { throw std::runtime_error("no table"); }, false},
        {"missing", nullptr, nullptr, false},
    };
    std::wstring first;
    std::vector<std::size_t> late_sources;
    for (const variant& v : variants) {
        SCOPED_TRACE(v.name);
        fingerprint_sources s = quiet_sources(wait);
        s.probes[mem] = [] { return std::string("1"); };
        s.probes[gpu] = v.gpu_probe;
        s.smbios = v.smbios;
        s.on_late = [&](std::size_t source) {
            late_sources.push_back(source);
            if (source == 0) SetEvent(firmware_released.get());
            if (source == 1 + gpu) SetEvent(gpu_released.get());
        };
        component_map used;
        const std::wstring hwid = compute_hwid(s, &used);
        if (first.empty()) first = hwid;
        EXPECT_EQ(hwid, first);
        EXPECT_EQ(used.count("gpu"), v.gpu_key_present ? 1u : 0u);
        EXPECT_EQ(used.count("bios"), 0u);
        EXPECT_EQ(used.at("mem"), "1");
    }
    // Only the two held sources were late, and compute_hwid returned only after the late probe's
    // thread had ended.
    EXPECT_EQ(late_sources, (std::vector<std::size_t>{0, 1 + gpu}));
    EXPECT_TRUE(late_probe_ended);
}

TEST(compute_hwid, held_sources_hold_up_none_of_the_others_and_each_source_runs_once) {
    // Sources share runner threads; one that does not return must not keep any other from starting,
    // delivering and being used. The held ones are released when compute_hwid reports their wait
    // over, so "late" never depends on this machine's speed; the bound on a hold only keeps a broken
    // build from hanging the test.
    const auto wait = 3000ms;
    struct row {
        const char* name;
        std::vector<std::size_t> held;  // 0: the firmware table, 1..8: the probes
    };
    const row rows[] = {
        {"the first source", {0}},
        {"three probes at once", {1 + disk, 1 + mac, 1 + gpu}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::array<kernel_handle, 9> released;
        for (kernel_handle& e : released) {
            e.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            ASSERT_TRUE(e);
        }
        std::array<std::atomic<int>, 9> calls{};
        std::array<std::atomic<bool>, 9> ended{};
        const auto is_held = [&](std::size_t source) {
            return std::find(r.held.begin(), r.held.end(), source) != r.held.end();
        };
        const auto run = [&](std::size_t source) {
            ++calls[source];
            if (is_held(source)) WaitForSingleObject(released[source].get(), 60000);
            ended[source] = true;
        };
        fingerprint_sources s;
        s.wait = wait;
        s.smbios = [&] {
            run(0);
            return component_map{{"bios", "B"}, {"mac", "from-firmware"}};
        };
        for (std::size_t i = 0; i < s.probes.size(); ++i) {
            s.probes[i] = [&, i] {
                run(1 + i);
                return std::string("value ") + kProbeKeys[i];
            };
        }
        std::vector<std::size_t> late;
        s.on_late = [&](std::size_t source) {
            late.push_back(source);
            SetEvent(released[source].get());
        };

        component_map used;
        compute_hwid(s, &used);
        EXPECT_EQ(late, r.held);
        component_map want;
        if (!is_held(0)) want = {{"bios", "B"}, {"mac", "from-firmware"}};
        for (std::size_t i = 0; i < s.probes.size(); ++i) {
            if (!is_held(1 + i)) want[kProbeKeys[i]] = std::string("value ") + kProbeKeys[i];
        }
        EXPECT_EQ(used, want);
        for (std::size_t source = 0; source < 9; ++source) {
            SCOPED_TRACE(source);
            EXPECT_EQ(calls[source].load(), 1);
            EXPECT_TRUE(ended[source].load()) << "returned before a source had ended";
        }
    }
}

TEST(compute_hwid, the_machines_sources_give_what_each_gives_when_asked_alone) {
    // The oracle is the sources themselves, asked one at a time on this thread: the map compute_hwid
    // hashes must be exactly theirs. The wait is long enough that no source of this machine is late.
    fingerprint_sources s = machine_sources();
    s.wait = 60000ms;
    s.on_late = [](std::size_t source) { ADD_FAILURE() << "source " << source << " was late"; };
    component_map alone = s.smbios();
    for (std::size_t i = 0; i < s.probes.size(); ++i) alone[kProbeKeys[i]] = s.probes[i]();
    component_map used;
    const std::wstring hwid = compute_hwid(s, &used);
    EXPECT_EQ(used, alone);
    EXPECT_TRUE(is_lower_hex_64(hwid));
}

TEST(compute_hwid, the_computer_name_stands_in_when_no_source_delivers) {
    struct row {
        const wchar_t* computer_name;  // nullptr: variable missing
        const wchar_t* hwid;           // from Python's hashlib
        const char* fallback;          // nullptr: no fallback key
    };
    const row rows[] = {
        // "fallback=WINEHOST\n" + salt
        {L"WINEHOST", L"d04218b68b4138b2874bfd74eb0bb7fb47192527d79f8055e3cebf7c78fae3a0", "WINEHOST"},
        // The name goes in as UTF-8.
        {L"\x041F\x041A-\x0418\x0433\x0440\x043E\x043A\x0430",
         L"30f28d21afd869a5cd3e62a12c279e07980d7564b1fc2908ee680697d3ee2897",
         "\xD0\x9F\xD0\x9A-\xD0\x98\xD0\xB3\xD1\x80\xD0\xBE\xD0\xBA\xD0\xB0"},
        // No name either: the salt alone.
        {nullptr, L"5905bbb6dc150186dd7e2ef807486280f063bc3e8dfd7a0c897950778ede031c", ""},
        {L"", L"5905bbb6dc150186dd7e2ef807486280f063bc3e8dfd7a0c897950778ede031c", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.computer_name ? r.computer_name : L"(missing)");
        scoped_env env(L"COMPUTERNAME", r.computer_name);
        component_map used;
        EXPECT_EQ(compute_hwid(quiet_sources(5000ms), &used), r.hwid);
        EXPECT_EQ(used.at("fallback"), r.fallback);
    }
    // One value is enough to keep the name out.
    scoped_env env(L"COMPUTERNAME", L"WINEHOST");
    fingerprint_sources s = quiet_sources(5000ms);
    s.probes[osinstall] = [] { return std::string("7"); };
    component_map used;
    compute_hwid(s, &used);
    EXPECT_EQ(used.count("fallback"), 0u);
}

TEST(sign_hwid, hmac_of_the_hwid_text_under_the_signing_key) {
    EXPECT_EQ(sign_hwid(L""), L"");
    const std::string key = signing_key_from_stored(deployment::hwid_key);
    if (key != "quillmarsh-dev-key-NOT-FOR-RELEASE") GTEST_SKIP() << "built with a deployment key";
    // From Python's hmac module over the salt-only fingerprint.
    EXPECT_EQ(sign_hwid(L"5905bbb6dc150186dd7e2ef807486280f063bc3e8dfd7a0c897950778ede031c"),
              L"9a63b0c091ebf3b00f0b0b6649db505658f2604041179f3ac2d584a417ea21e3");
}

TEST(collect_device_identity, the_same_on_two_runs_on_one_machine) {
    const DeviceIdentity first = collect_device_identity();
    const DeviceIdentity second = collect_device_identity();
    EXPECT_TRUE(is_lower_hex_64(first.hwid));
    EXPECT_TRUE(is_lower_hex_64(first.sig));
    EXPECT_EQ(first.hwid, second.hwid);
    EXPECT_EQ(first.sig, second.sig);
    EXPECT_EQ(first.sig, sign_hwid(first.hwid));
}
