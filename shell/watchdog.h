// The watchdog bounds the whole run: when the launch sequence has not finished in time, it tells the
// player and ends the process.
#pragma once

#include <cstdint>

// Polls g_launch_finished every 1000 ms; returns when it is set, else ends as watchdog_time_out.
// A limit of 0 times out at once.
void watchdog_thread(std::uint32_t limit_ms);
// The watchdog's end: log line, box, TerminateProcess(1). Never returns.
[[noreturn]] void watchdog_time_out(std::uint32_t limit_ms);
