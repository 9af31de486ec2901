// The watchdog bounds the whole run: when the launch sequence has not finished in time, it tells the
// player and ends the process.
#include "shell/watchdog.h"

#include <windows.h>

#include "base/log.h"
#include "base/text_pure.h"
#include "shell/failure_report.h"
#include "shell/sequence.h"

void watchdog_time_out(std::uint32_t limit_ms) {
    log_line(L"WATCHDOG: превышен общий таймаут лаунчера (" + decimal(limit_ms / 1000) +
             L" сек). Принудительное завершение.");
    show_final_box(final_box::watchdog_timeout, L"Лаунчер завис и был принудительно завершён.\n\nПроверьте интернет-соединение и перезапустите "
                   L"лаунчер.");
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;) Sleep(INFINITE);  // TerminateProcess on the own process does not return
}

void watchdog_thread(std::uint32_t limit_ms) {
    if (limit_ms != 0) {
        // 64 bits: a limit near the 32-bit maximum must not wrap the count and poll forever.
        std::uint64_t elapsed = 0;
        for (;;) {
            if (g_launch_finished.load()) return;
            Sleep(1000);
            elapsed += 1000;
            if (elapsed >= limit_ms) break;  // no check after the last sleep
        }
    }
    watchdog_time_out(limit_ms);
}
