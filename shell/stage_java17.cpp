// Stage 3: the built-in Java 17. Only the runtime the shell provisions itself counts here; installed
// runtimes are the client start stage's fall-backs.
#include "base/log.h"
#include "java/java.h"
#include "shell/panel.h"
#include "shell/server_address.h"
#include "shell/stages.h"

bool run_java17_stage(launch_context& launch, stage_failure& failure) {
    post_status_text(L"Подготовка Java 17...");
    log_line(L"Подготовка встроенной Java 17...");

    const std::wstring archive_url = server_base_url() + builtin_java_archive_path();
    std::wstring error;
    const std::optional<std::wstring> home = ensure_builtin_java17(launch.launcher_dir, archive_url, L"", false,
                                                                   error, make_status_progress(),
                                                                   publisher_key_pem());
    // The bar belongs to the download only; the failure box must not show a stale one either.
    post_status_progress(-1);
    if (!home) {
        failure.kind = final_box::java17_failed;
        failure.log = L"ОШИБКА: не удалось подготовить Java 17: " + error;
        failure.box = L"Не удалось скачать и распаковать Java 17.\n\n" + error +
                      L"\n\nПроверьте интернет-соединение и перезапустите лаунчер.\n\nПодробности: " +
                      launcher_file(launch, L"launcher.log");
        return false;
    }
    if (!error.empty()) {
        log_line(L"ВНИМАНИЕ: " + error + L". Использую текущую Java.");
    } else {
        log_line(L"Встроенная Java 17 готова.");
    }
    launch.java_home = *home;
    return true;
}
