// Stage 5: client start. The built-in Java 17 goes first; the runtimes installed on the machine are
// the fall-backs, tried in discovery order until the launcher jar keeps running on one of them.
#include "client/client.h"
#include "java/java.h"
#include "shell/shell.h"

void run_client_start_stage(const std::wstring& java_home, const std::wstring& jar_path) {
    std::vector<std::wstring> discovered;
    find_java_candidates(discovered, L"");
    const std::vector<std::wstring> candidates = client_candidate_list(java_home, discovered);

    // The whole list goes to the log first, so a support request shows what was available even when
    // the first candidate already works.
    for (const std::wstring& home : candidates) log_line(L"Буду пробовать Java: " + home);

    client_start_attempt attempt{jar_path, {}, {}};
    for (const std::wstring& home : candidates) {
        if (try_start_client(attempt, home)) {
            log_line(L"Клиент запущен.");
            return;
        }
    }
    const std::wstring log_path = launcher_file_path(L"launcher.log");
    show_error_box(no_client_started_text(attempt.error, attempt.client_output, log_path));
}
