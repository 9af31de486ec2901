// Stage 5: client start. The built-in Java 17 goes first; the runtimes installed on the machine are
// the fall-backs, tried in discovery order until the launcher jar keeps running on one of them.
#include "base/log.h"
#include "client/client.h"
#include "java/java.h"
#include "shell/failure_report.h"
#include "shell/panel.h"
#include "shell/stages.h"

void run_client_start_stage(launch_context& launch) {
    const std::vector<std::wstring> discovered = take_or_compute(launch.installed_javas, [&launch] {
        std::vector<std::wstring> found;
        find_java_candidates(found, L"", launch.launcher_dir);
        return found;
    });
    const std::vector<std::wstring> candidates = client_candidate_list(launch.java_home, discovered);

    // The whole list goes to the log first, so a support request shows what was available even when
    // the first candidate already works.
    for (const std::wstring& home : candidates) log_line(L"Буду пробовать Java: " + home);

    client_start_attempt attempt{launch.launcher_dir, launch.jar_path, post_status_text, {}, {}};
    for (const std::wstring& home : candidates) {
        if (try_start_client(attempt, home)) {
            log_line(L"Клиент запущен.");
            return;
        }
    }
    show_final_box(final_box::client_start_failed,
                   no_client_started_text(attempt.error, attempt.client_output, launcher_file(launch, L"launcher.log")));
}
