// The worker thread's launch sequence: five stages in order; the first failure ends it.
#include "shell/shell.h"

std::atomic<bool> g_launch_finished{false};

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
    stage_failure failure;
    std::wstring java_home;
    std::wstring jar_path;
    if (!run_start_stage(failure) || !run_device_check_stage(failure) || !run_java17_stage(java_home, failure) ||
        !run_launcher_update_stage(jar_path, failure)) {
        fail(failure);
        return;
    }
    run_client_start_stage(java_home, jar_path);
    g_launch_finished.exchange(true);
    post_status_close();
}

bool run_start_stage(stage_failure& failure) {
    // The first line of the process: building its path resolves the launcher directory.
    log_line(L"=== Запуск лаунчера ===");
    log_line(L"Каталог лаунчера: " + launcher_dir());
    if (launcher_dir_writable()) return true;
    failure.log = L"ОШИБКА: каталог лаунчера недоступен для записи.";
    failure.box = L"Лаунчеру не удалось создать свои файлы.\n\nКаталог: " + launcher_dir() +
                  L"\n\nПроверьте права на запись в этот каталог, настройки антивируса и синхронизацию облачных "
                  L"папок (OneDrive и т.п.).\n\nЕсли это не помогает, запустите лаунчер от имени администратора.";
    return false;
}
