// The process entry after the anti-debugging check.
#pragma once

#include <windows.h>

// Single-instance mutex, status panel, the worker and watchdog threads, and the message loop until
// the panel is destroyed. Returns the process exit code: 0 for a run that ended by itself (a second
// shell included), 1 when the panel cannot be created, the worker cannot start or a thread body met
// an unexpected error.
int run_shell(HINSTANCE instance);

// Ends the process with `code` (run_shell's result) without running the static destructors while
// other threads of the shell still run: every other thread is ended first. Never returns.
[[noreturn]] void end_shell_process(int code);

// Closes the single-instance mutex ahead of the process's end, so that a shell started now can take
// it (the self-update's restart). Any thread; only the first call closes it.
void release_instance_mutex();
