// The worker thread's launch sequence: five stages in order; the first failure ends it.
#include "shell/sequence.h"

#include <windows.h>

#include "base/log.h"
#include "shell/panel.h"
#include "shell/stages.h"

std::atomic<bool> g_launch_finished{false};

std::wstring launcher_file(const launch_context& launch, const wchar_t* name) {
    return launch.launcher_dir + L"\\" + name;
}

void show_error_box(const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), kAppTitle, MB_OK | MB_ICONERROR);
}

namespace {

void fail(const stage_failure& failure) {
    if (!failure.log.empty()) log_line(failure.log);
    show_error_box(failure.box);
    post_status_close();
}

}  // namespace

void worker_thread() {
    launch_context launch;
    stage_failure failure;
    if (!run_start_stage(launch, failure) || !run_device_check_stage(launch, failure) ||
        !run_java17_stage(launch, failure) || !run_launcher_update_stage(launch, failure)) {
        fail(failure);
        return;
    }
    run_client_start_stage(launch);
    g_launch_finished.exchange(true);
    post_status_close();
}
