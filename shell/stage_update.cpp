// Stage 4: launcher update. The jar has no version number, so every run downloads it and compares
// digests; a player without a connection still gets the jar installed last time.
#include <windows.h>

#include "base/log.h"
#include "net/net.h"
#include "shell/panel.h"
#include "shell/server_address.h"
#include "shell/stages.h"
#include "shell/update_record.h"

namespace {

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool run_launcher_update_stage(launch_context& launch, stage_failure& failure) {
    post_status_text(L"Проверка обновлений...");
    post_status_progress(-1);

    launch.jar_path = launcher_file(launch, L"QuillmarshLauncher.jar");
    const std::wstring& jar_path = launch.jar_path;
    const std::wstring temp_path = jar_path + L".tmp";

    // Taken before the download: a jar that cannot be read counts as missing and gets replaced.
    const std::optional<std::wstring> local_digest =
        take_or_compute(launch.local_jar_digest, [&jar_path] { return sha256_file_hex(jar_path); });
    log_line(local_digest ? L"Локальный jar-файл присутствует." : L"Локальный jar не скачан.");

    post_status_text(L"Скачивание лаунчера...");
    const std::wstring url = server_base_url() + builtin_launcher_jar_path();
    std::wstring error;
    bool downloaded = download_to_file(url, temp_path, make_status_progress(), error);
    // A build with a publisher key uses no jar that its signature does not vouch for: such a jar counts
    // as a failed download and is never kept.
    if (downloaded && !verify_download(url, temp_path, publisher_key_pem(), error)) {
        DeleteFileW(temp_path.c_str());
        downloaded = false;
    }
    if (!downloaded) {
        log_line(L"ОШИБКА скачивания: " + error);
        if (file_exists(jar_path)) {
            log_line(L"Локальный файл есть — запускаю его без обновления.");
            return true;
        }
        failure.log.clear();  // the line above is the failure's line
        failure.kind = final_box::launcher_download_failed;
        failure.box = L"Не удалось скачать лаунчер.\n\n" + error;
        return false;
    }

    post_status_text(L"Проверка обновления...");
    post_status_progress(-1);

    const std::optional<std::wstring> remote_digest = sha256_file_hex(temp_path);
    if (!remote_digest || remote_digest->empty()) {
        log_line(L"ОШИБКА: не удалось вычислить хеш скачанного файла.");
        DeleteFileW(temp_path.c_str());
        if (file_exists(jar_path)) return true;
        failure.log.clear();
        failure.kind = final_box::launcher_digest_failed;
        failure.box = L"Не удалось скачать лаунчер.";
        return false;
    }

    if (!local_digest) {
        log_line(L"Первый запуск: лаунчер скачан.");
    } else if (*local_digest != *remote_digest) {
        log_line(L"Обнаружено обновление! (Local: " + *local_digest + L", Remote: " + *remote_digest + L")");
    } else {
        log_line(L"Скачанный jar совпадает с лocalным — обновление не требуется.");
        DeleteFileW(temp_path.c_str());
        return true;
    }

    // Write-through: the new jar is on disk before the record that names it is written.
    const DWORD move_flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(temp_path.c_str(), jar_path.c_str(), move_flags)) {
        const DWORD code = GetLastError();
        // Typically a client from an earlier run still holds the jar: start that one, keep the download.
        log_line(with_code(L"ОШИБКА: не удалось сохранить скачанный файл", code) + L": " + jar_path);
        return true;
    }
    log_line(L"Лаунчер обновлён: " + jar_path);
    save_last_sha256(launcher_file(launch, L"last.sha256"), *remote_digest);
    return true;
}
