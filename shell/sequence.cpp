// The worker thread's launch sequence: five stages in order; the first failure ends it.
#include "shell/sequence.h"

#include <windows.h>

#include "base/log.h"
#include "java/java.h"
#include "net/net.h"
#include "shell/failure_report.h"
#include "shell/panel.h"
#include "shell/release_flow.h"
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
    show_final_box(failure.kind, failure.box);
    post_status_close();
}

}  // namespace

void worker_thread(launch_context& launch) {
    stage_failure failure;
    if (!run_start_stage(launch, failure)) {
        fail(failure);
        return;
    }
    // With a publisher key the signed release decides what is downloaded and what may run. Its shell
    // is installed before anything else: a fixed shell then runs every later stage (the device check
    // included), and a run that restarts has sent no other request and started nothing.
    if (release_build()) {
        launch.release_build = true;
        run_release_manifest_step(launch);
        if (run_release_shell_step(launch)) {
            g_launch_finished.exchange(true);
            post_status_close();
            return;
        }
    }
    if (!run_device_check_stage(launch, failure)) {
        fail(failure);
        return;
    }
    // Only reads, and none of them changes before its stage: the local jar's digest (the update
    // stage's first step) and the installed runtimes (the client start stage's list) overlap the
    // Java 17 stage, whose probe process is the slowest step of a warm run.
    const std::wstring jar = launcher_file(launch, L"QuillmarshLauncher.jar");
    launch.local_jar_digest = start_ahead<std::optional<std::wstring>>([jar] { return sha256_file_hex(jar); });
    const std::wstring dir = launch.launcher_dir;
    launch.installed_javas = start_ahead<std::vector<std::wstring>>([dir] {
        std::vector<std::wstring> found;
        find_java_candidates(found, L"", dir);
        return found;
    });
    if (!run_java17_stage(launch, failure) || !run_launcher_update_stage(launch, failure)) {
        fail(failure);
        return;
    }
    run_client_start_stage(launch);
    g_launch_finished.exchange(true);
    post_status_close();
}
