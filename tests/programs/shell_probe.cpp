// Runs pieces of the shell in a process of their own, for scenarios whose outcome is the end of the
// process (the watchdog terminates it) or that count the process's heap allocations. Driven by the
// e2e tests and by scripts/screenshot-panel.sh.
//
//   shell_probe watchdog <limit_ms> <dir>           launcher directory <dir>; watchdog_thread(limit) on its
//                                                   own thread; exit 0 if it returns
//   shell_probe watchdog-finished <limit_ms> <dir>  the same with the launch already finished
//   shell_probe fallback <limit_ms> <dir>           run_shell whose worker never runs and whose watchdog
//                                                   thread cannot be created; exit code of run_shell
//   shell_probe shell <limit_ms>                    the whole shell (real worker and stages) with a
//                                                   shorter watchdog limit; exit code of run_shell
//   shell_probe panel <ms> <per_mille> <text>       the real panel with a text and a bar for <ms>
//   shell_probe post-after-destroy                  0 when status texts neither leak nor are freed twice;
//                                                   10 leak after destroy, 11 freed twice, 12 the live
//                                                   panel did not free its text, 13 leak without a panel
//   shell_probe exit-panel-failure <event> <dir>    run_shell whose panel cannot be made, with a fingerprint
//                                                   source held until the named event is set; ends the
//                                                   process as the shell does (end_shell_process)
//   shell_probe exit-f1 <event> <dir>               the whole shell with that held source, ending the same
//                                                   way; the test blocks every launcher candidate (F1)
//   In both, a static object's destructor writes <dir>\destructors.txt: "source running" when it runs
//   while the held source's thread still runs, "source ended" when that thread has ended.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "base/handle.h"
#include "base/log.h"
#include "shell/entry_internal.h"
#include "shell/panel_internal.h"
#include "shell/watchdog.h"

namespace {

std::atomic<long long> g_live_allocations{0};

void* counted_alloc(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    g_live_allocations.fetch_add(1);
    return p;
}

void counted_free(void* p) noexcept {
    if (p == nullptr) return;
    g_live_allocations.fetch_sub(1);
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace {

// Dispatches messages until WM_QUIT or until `ms` have passed; true when WM_QUIT came.
bool pump(DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return true;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    }
}

void use_launcher_dir(const std::wstring& dir) {
    set_log_file(dir + L"\\launcher.log");
}

int watchdog(std::uint32_t limit, const std::wstring& dir, bool finished) {
    use_launcher_dir(dir);
    g_launch_finished.store(finished);
    std::thread thread(watchdog_thread, limit);
    thread.join();
    return 0;
}

int g_starts = 0;

// The worker "starts" but never runs, as if it hung; the watchdog thread cannot be created.
bool hung_worker_no_watchdog(void (*)(void*), void*) {
    return ++g_starts == 1;
}

int fallback(std::uint32_t limit, const std::wstring& dir) {
    use_launcher_dir(dir);
    return run_shell(GetModuleHandleW(nullptr), {.start_thread = hung_worker_no_watchdog, .watchdog_limit_ms = limit});
}

// The held fingerprint source and the static object whose destructor looks at it.
std::atomic<HANDLE> g_source_thread{nullptr};  // written once by the held source, read by the witness
std::wstring g_release_event;                  // set by wmain before run_shell
kernel_handle g_source_started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

struct destructor_witness {
    wchar_t report[MAX_PATH] = {};  // its own copy: other static strings may be gone when it runs
    ~destructor_witness() {
        if (report[0] == L'\0') return;
        const HANDLE thread = g_source_thread.load();
        const char* seen = thread == nullptr                               ? "no source"
                           : WaitForSingleObject(thread, 0) == WAIT_TIMEOUT ? "source running"
                                                                            : "source ended";
        const kernel_handle file{CreateFileW(report, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)};
        DWORD written = 0;
        if (file) WriteFile(file.get(), seen, static_cast<DWORD>(std::strlen(seen)), &written, nullptr);
    }
};
destructor_witness g_witness;

// Blocks until the test sets the named event (bounded, so a broken test never leaves it behind).
DeviceIdentity held_identity() {
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE,
                    0);
    g_source_thread.store(thread);
    const kernel_handle release{OpenEventW(SYNCHRONIZE, FALSE, g_release_event.c_str())};
    SetEvent(g_source_started.get());
    if (release) WaitForSingleObject(release.get(), 120000);
    return {};
}

// The run ends only once the held source is surely running: the panel fails, or the real worker
// starts, after it has begun.
HWND panel_after_the_source(HINSTANCE) {
    WaitForSingleObject(g_source_started.get(), 60000);
    return nullptr;
}

void worker_after_the_source(launch_context& launch) {
    WaitForSingleObject(g_source_started.get(), 60000);
    worker_thread(launch);
}

[[noreturn]] void end_with_held_source(const std::wstring& mode, const std::wstring& event,
                                       const std::wstring& dir) {
    g_release_event = event;
    const std::wstring report = dir + L"\\destructors.txt";
    if (report.size() < MAX_PATH) report.copy(g_witness.report, report.size());
    shell_setup setup{.identity = held_identity};
    if (mode == L"exit-panel-failure") {
        setup.create_panel = panel_after_the_source;
    } else {
        setup.worker = worker_after_the_source;
    }
    end_shell_process(run_shell(GetModuleHandleW(nullptr), setup));
}

int panel(DWORD ms, std::int32_t per_mille, const std::wstring& text) {
    if (create_status_window(GetModuleHandleW(nullptr)) == nullptr) return 2;
    post_status_text(text);
    post_status_progress(per_mille);
    pump(ms);
    post_status_close();
    return pump(5000) ? 0 : 3;
}

int post_after_destroy() {
    const std::wstring text = L"Скачивание лаунчера... (a text well beyond any small-string buffer)";
    HWND window = create_status_window(GetModuleHandleW(nullptr));
    if (window == nullptr) return 2;

    // A live panel takes the text over and frees it. Reserve the panel's own copy first, so that
    // taking the text over allocates nothing of its own.
    g_status_text.reserve(text.size() * 2);
    pump(200);
    long long before = g_live_allocations.load();
    post_status_text(text);
    pump(200);
    if (g_status_text != text) return 4;
    if (g_live_allocations.load() != before) return 12;

    post_status_close();
    if (!pump(5000) || IsWindow(window)) return 5;

    // The panel is gone: every post fails, and the sender must free each copy exactly once.
    before = g_live_allocations.load();
    for (int i = 0; i < 100; ++i) post_status_text(text);
    const long long after = g_live_allocations.load();
    if (after > before) return 10;
    if (after < before) return 11;

    // No panel at all.
    g_status_window = nullptr;
    before = g_live_allocations.load();
    post_status_text(text);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_STATUS_TEXT, WM_STATUS_TEXT, PM_REMOVE)) {
        // A text that landed in this thread's queue would be lost here: count it as the leak it is.
    }
    if (g_live_allocations.load() != before) return 13;
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if ((mode == L"watchdog" || mode == L"watchdog-finished") && argc == 4) {
        return watchdog(static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 10)), argv[3],
                        mode == L"watchdog-finished");
    }
    if (mode == L"fallback" && argc == 4) {
        return fallback(static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 10)), argv[3]);
    }
    if (mode == L"shell" && argc == 3) {
        return run_shell(GetModuleHandleW(nullptr),
                         {.watchdog_limit_ms = static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 10))});
    }
    if (mode == L"panel" && argc == 5) {
        return panel(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)),
                     static_cast<std::int32_t>(std::wcstol(argv[3], nullptr, 10)), argv[4]);
    }
    if (mode == L"post-after-destroy" && argc == 2) return post_after_destroy();
    if ((mode == L"exit-panel-failure" || mode == L"exit-f1") && argc == 4) {
        end_with_held_source(mode, argv[2], argv[3]);
    }
    std::fwprintf(stderr, L"usage: shell_probe watchdog|watchdog-finished|fallback|panel|post-after-destroy|"
                          L"exit-panel-failure|exit-f1 ...\n");
    return 64;
}
