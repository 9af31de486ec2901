// Process entry after the anti-debugging check: single-instance mutex, status panel, the worker and
// watchdog threads, and the message loop that ends when the panel is destroyed.
#include <atomic>
#include <thread>

#include "base/handle.h"
#include "base/log.h"
#include "shell/entry_internal.h"
#include "shell/failure_report.h"
#include "shell/launcher_dir.h"
#include "shell/panel.h"
#include "shell/watchdog.h"

namespace {

// Written by run_shell on the main thread before the threads and the timer start; only read later.
void (*g_worker)(launch_context&) = worker_thread;
// The fingerprint, started before the panel is set up; handed to the worker's launch context.
std::future<DeviceIdentity> g_identity_ahead;
std::uint32_t g_fallback_limit_ms = 0;
// Set by a thread body that met an unexpected error; read by run_shell after the message loop.
std::atomic<bool> g_unexpected_error{false};
// The single-instance mutex: set by run_shell on the main thread; taken (and closed) once, by
// release_instance_mutex on the worker or by run_shell at its end.
std::atomic<HANDLE> g_instance_mutex{nullptr};

// Lines written before the start stage named the log (the worker could not start, or failed before
// its first line) go to launcher.log all the same.
void name_log_if_unnamed() {
    if (log_file().empty()) set_log_file(process_launcher_dir().dir + L"\\launcher.log");
}

// The end of a thread body that an exception escaped: one line, one box, the panel closed, exit code 1.
// Nothing here may throw again.
void end_after_unexpected_error(bool worker) noexcept {
    try {
        if (worker) name_log_if_unnamed();
        log_line(L"ОШИБКА: непредвиденная ошибка лаунчера.");
        show_final_box(final_box::unexpected_error,
                       L"Произошла непредвиденная ошибка лаунчера.\n\nПерезапустите лаунчер.");
    } catch (...) {  // out of memory even for the line or the box: the panel still closes
    }
    g_unexpected_error.store(true);
    post_status_close();
}

void worker_body(void*) {
    try {
        launch_context launch;
        launch.identity = std::move(g_identity_ahead);
        g_worker(launch);
    } catch (...) {
        end_after_unexpected_error(true);
    }
}

void watchdog_body(void* limit) {
    try {
        watchdog_thread(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(limit)));
    } catch (...) {
        end_after_unexpected_error(false);
    }
}

// Stand-in for the watchdog when its thread could not be created: a timer on the main thread fires
// once at the limit and does what the watchdog would have done.
void CALLBACK watchdog_timer(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (!g_launch_finished.load()) watchdog_time_out(g_fallback_limit_ms);
}

int pump_messages() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return g_unexpected_error.load() ? 1 : 0;
}

}  // namespace

void release_instance_mutex() {
    const HANDLE mutex = g_instance_mutex.exchange(nullptr);
    if (mutex != nullptr) CloseHandle(mutex);
}

bool start_detached_thread(void (*body)(void*), void* argument) {
    try {
        std::thread thread(body, argument);
        thread.detach();
        return true;
    } catch (...) {  // std::system_error: no thread could be created
        return false;
    }
}

int run_shell(HINSTANCE instance, const shell_setup& setup) {
    kernel_handle mutex{CreateMutexW(nullptr, TRUE, L"QuillmarshLauncher.Shell.Instance")};
    if (!mutex) return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;  // another shell is running
    g_instance_mutex.store(mutex.release());
    // The mutex closes when run_shell ends, after the message loop, unless a self-update closed it.
    struct mutex_closer {
        ~mutex_closer() { release_instance_mutex(); }
    } closer;

    // The fingerprint reads the machine and nothing else; it runs while the panel is set up and the
    // device check stage takes its result.
    g_identity_ahead = start_ahead<DeviceIdentity>(setup.identity);
    HWND window = setup.create_panel(instance);
    if (window == nullptr) return 1;

    g_worker = setup.worker;
    if (!setup.start_thread(worker_body, nullptr)) {
        // Nothing can run the launch sequence: say so once and end instead of leaving an empty panel.
        name_log_if_unnamed();
        log_line(L"ОШИБКА: не удалось создать рабочий поток лаунчера.");
        show_final_box(final_box::worker_start_failed,
                       L"Не удалось запустить лаунчер.\n\nПерезапустите компьютер и попробуйте снова.");
        DestroyWindow(window);
        pump_messages();
        return 1;
    }
    const std::uint32_t limit = setup.watchdog_limit_ms;
    if (!setup.start_thread(watchdog_body, reinterpret_cast<void*>(static_cast<std::uintptr_t>(limit)))) {
        // The run must stay bounded: the main thread's message loop takes over the watchdog's limit.
        // A zero limit still waits one loop turn, like a watchdog thread that times out at once.
        g_fallback_limit_ms = limit;
        SetTimer(nullptr, 0, limit, watchdog_timer);
    }
    return pump_messages();
}

int run_shell(HINSTANCE instance) {
    return run_shell(instance, shell_setup{});
}

// Returning from the entry would call the C runtime's exit(), which runs the static destructors (the
// signing key, the HTTP cache's owned handles, the log's locks) while detached threads may still use
// them: the fingerprint started ahead (its sources bounded by waits, not ended, and never taken when
// the panel fails or F1 ends the run), a late probe, the jar digest and runtime search started ahead,
// the worker's last steps, the watchdog between two polls. Only after the destructors would
// ExitProcess end those threads. ExitProcess is called here instead: its first step ends every other
// thread of the process, and only then does anything run on the way out (the DLLs' detach code, and
// whatever destructors a C runtime may run from there), now alone. Waiting for the threads instead is
// no answer: a source stuck in a driver call outlives any bound, and an unbounded wait could keep a
// finished shell alive. Skipping the destructors loses nothing: the log is written per line without a
// buffer, nothing else buffers output, and the system takes back memory and handles. Both compilers'
// runtimes end this way (ExitProcess is the Win32 call, not the C runtime's exit).
void end_shell_process(int code) {
    ExitProcess(static_cast<UINT>(code));
}
