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
    // What a run killed during its download left behind; the download would overwrite it, but a run
    // whose download fails would keep it for good.
    remove_partial_download(temp_path);

    // Taken before the download: a jar that cannot be read counts as missing and gets replaced.
    const std::optional<std::wstring> local_digest =
        take_or_compute(launch.local_jar_digest, [&jar_path] { return sha256_file_hex(jar_path); });
    log_line(local_digest ? L"Локальный jar-файл присутствует." : L"Локальный jar не скачан.");

    post_status_text(L"Скачивание лаунчера...");
    const std::wstring url = server_base_url() + builtin_launcher_jar_path();
    std::wstring error;
    // Held open until it is renamed or deleted: the digest compared below is that of the very bytes
    // installed.
    std::optional<downloaded_file> download =
        download_to_file(url, temp_path, download_limits{max_jar_bytes(), std::nullopt}, make_status_progress(), error);
    // A build with a publisher key uses no jar that its signature does not vouch for: such a jar counts
    // as a failed download and is never kept.
    if (download && !verify_download(url, temp_path, download->digest, publisher_key_pem(), error)) {
        discard_download(*download);
        download.reset();
    }
    if (!download) {
        log_line(L"ОШИБКА скачивания: " + error);
        if (file_exists(jar_path)) {
            log_line(L"Локальный файл есть — запускаю его без обновления.");
            return true;
        }
        failure.log.clear();  // the line above is the failure's line
        failure.box = L"Не удалось скачать лаунчер.\n\n" + error;
        return false;
    }

    post_status_text(L"Проверка обновления...");
    post_status_progress(-1);

    if (!download->digest) {
        log_line(L"ОШИБКА: не удалось вычислить хеш скачанного файла.");
        discard_download(*download);
        if (file_exists(jar_path)) return true;
        failure.log.clear();
        failure.box = L"Не удалось скачать лаунчер.";
        return false;
    }
    const std::wstring remote_digest = hex_lower(*download->digest);

    if (!local_digest) {
        log_line(L"Первый запуск: лаунчер скачан.");
    } else if (*local_digest != remote_digest) {
        log_line(L"Обнаружено обновление! (Local: " + *local_digest + L", Remote: " + remote_digest + L")");
    } else {
        log_line(L"Скачанный jar совпадает с лocalным — обновление не требуется.");
        discard_download(*download);
        return true;
    }

    // Renamed through the handle that wrote it, after a flush: the new jar is on disk before the
    // record that names it is written.
    if (!install_download(*download, jar_path, error)) {
        // Typically a client from an earlier run still holds the jar: start that one, keep the download.
        log_line(L"ОШИБКА: " + error);
        return true;
    }
    log_line(L"Лаунчер обновлён: " + jar_path);
    save_last_sha256(launcher_file(launch, L"last.sha256"), remote_digest);
    return true;
}
