// What only the entry's tests and test programs see: the thread starter, the worker and the watchdog
// limit that run_shell uses, each replaceable.
#pragma once

#include <cstdint>

#include "shell/entry.h"
#include "shell/sequence.h"

// Starts a detached thread; false when the thread cannot be created.
using thread_starter = bool (*)(void (*body)(void*), void* argument);
bool start_detached_thread(void (*body)(void*), void* argument);

struct shell_setup {
    thread_starter start_thread = start_detached_thread;
    void (*worker)(launch_context&) = worker_thread;
    std::uint32_t watchdog_limit_ms = 300000;
};

int run_shell(HINSTANCE instance, const shell_setup& setup);
