// What only the entry's tests and test programs see: the thread starter, the worker, the watchdog
// limit, the panel's maker and the fingerprint's source that run_shell uses, each replaceable.
#pragma once

#include <cstdint>

#include "device/device.h"
#include "shell/entry.h"
#include "shell/panel.h"
#include "shell/sequence.h"

// Starts a detached thread; false when the thread cannot be created.
using thread_starter = bool (*)(void (*body)(void*), void* argument);
bool start_detached_thread(void (*body)(void*), void* argument);

struct shell_setup {
    thread_starter start_thread = start_detached_thread;
    void (*worker)(launch_context&) = worker_thread;
    std::uint32_t watchdog_limit_ms = 300000;
    HWND (*create_panel)(HINSTANCE) = create_status_window;
    // Started ahead on a thread of its own before the panel is made (a slow one outlives a run that
    // ends early: the panel's failure, F1).
    DeviceIdentity (*identity)() = collect_device_identity;
};

int run_shell(HINSTANCE instance, const shell_setup& setup);
