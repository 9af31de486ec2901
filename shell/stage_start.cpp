// Stage 1: start. The launcher directory is chosen here, once, and the log is named in it before the
// run's first line.
#include "base/log.h"
#include "shell/launcher_dir.h"
#include "shell/stages.h"

bool run_start_stage(launch_context& launch, stage_failure& failure) {
    const launcher_location& location = process_launcher_dir();
    launch.launcher_dir = location.dir;
    set_log_file(launcher_file(launch, L"launcher.log"));
    log_line(L"=== Запуск лаунчера ===");
    log_line(L"Каталог лаунчера: " + launch.launcher_dir);
    if (location.writable) return true;
    failure.kind = final_box::launcher_dir_not_writable;
    failure.log = L"ОШИБКА: каталог лаунчера недоступен для записи.";
    failure.box = L"Лаунчеру не удалось создать свои файлы.\n\nКаталог: " + launch.launcher_dir +
                  L"\n\nПроверьте права на запись в этот каталог, настройки антивируса и синхронизацию облачных "
                  L"папок (OneDrive и т.п.).\n\nЕсли это не помогает, запустите лаунчер от имени администратора.";
    return false;
}
