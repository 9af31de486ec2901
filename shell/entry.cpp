// Process entry after the anti-debugging check: single-instance mutex, status panel, the worker and
// watchdog threads, and the message loop that ends when the panel is destroyed.
#include <thread>

#include "shell/handle.h"
#include "shell/shell.h"

namespace {

// The watchdog fallback's limit; written by run_shell before the timer starts, read by the timer
// (both on the main thread).
std::uint32_t g_fallback_limit_ms = 0;

void worker_body(void*) {
    worker_thread();
}

void watchdog_body(void* limit) {
    watchdog_thread(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(limit)));
}

// Stand-in for the watchdog when its thread could not be created: a timer on the main thread fires
// once at the limit and does what the watchdog would have done.
void CALLBACK watchdog_timer(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (!g_launch_finished.load()) watchdog_time_out(g_fallback_limit_ms);
}

}  // namespace

bool start_detached_thread(void (*body)(void*), void* argument) {
    try {
        std::thread thread(body, argument);
        thread.detach();
        return true;
    } catch (...) {  // std::system_error: no thread could be created
        return false;
    }
}

int run_shell(HINSTANCE instance, thread_starter starter, std::uint32_t watchdog_limit_ms) {
    kernel_handle mutex{CreateMutexW(nullptr, TRUE, L"QuillmarshLauncher.Shell.Instance")};
    if (!mutex) return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;  // another shell is running

    HWND window = create_status_window(instance);
    if (window == nullptr) return 1;

    if (!starter(worker_body, nullptr)) {
        // Nothing can run the launch sequence: say so once and end instead of leaving an empty panel.
        log_line(L"ОШИБКА: не удалось создать рабочий поток лаунчера.");
        show_error_box(L"Не удалось запустить лаунчер.\n\nПерезапустите компьютер и попробуйте снова.");
        DestroyWindow(window);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        return 1;
    }
    if (!starter(watchdog_body, reinterpret_cast<void*>(static_cast<std::uintptr_t>(watchdog_limit_ms)))) {
        // The run must stay bounded: the main thread's message loop takes over the watchdog's limit.
        // A zero limit still waits one loop turn, like a watchdog thread that times out at once.
        g_fallback_limit_ms = watchdog_limit_ms;
        SetTimer(nullptr, 0, watchdog_limit_ms, watchdog_timer);
    }

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;  // the mutex closes here, after the loop
}
