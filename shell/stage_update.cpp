// Stage 4: launcher update. The jar has no version number, so every run downloads it and compares
// digests; a player without a connection still gets the jar installed last time.
#include <windows.h>

#include "base/log.h"
#include "base/text.h"
#include "net/net.h"
#include "shell/panel.h"
#include "shell/release_flow.h"
#include "shell/server_address.h"
#include "shell/stages.h"
#include "shell/update_record.h"

namespace {

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A build with a publisher key: the jar is fetched only when the local one is not the release's, with
// the release's exact size and digest; without a trusted release only a jar recorded as verified runs.
bool release_update(launch_context& launch, const std::optional<std::wstring>& local_digest,
                    stage_failure& failure) {
    const std::wstring& jar_path = launch.jar_path;
    const std::optional<std::string> local = local_digest ? std::optional<std::string>(to_utf8(*local_digest))
                                                          : std::nullopt;
    const jar_plan plan = plan_jar(launch.release, local);
    if (plan == jar_plan::missing) {
        failure.log = L"ОШИБКА: нет проверенного jar-файла лаунчера.";
        failure.kind = final_box::launcher_download_failed;
        failure.box = L"Не удалось скачать лаунчер.\n\n" + untrusted_release_text(launch);
        return false;
    }
    if (plan == jar_plan::keep) {
        if (!launch.release.trusted) {
            log_line(L"ВНИМАНИЕ: запускаю проверенный ранее jar без обновления.");
            return true;
        }
        log_line(L"Локальный jar совпадает с файлом выпуска — обновление не требуется.");
        const std::optional<verified_record>& verified = launch.release.verified;
        if (!verified || verified->jar_sha256_hex != *local) {
            save_verified_record(launch, record_jar(verified, launch.key_fingerprint, *local));
        }
        return true;
    }

    const release_file& wanted = launch.release.manifest.jar;
    post_status_text(L"Скачивание лаунчера...");
    const std::wstring url = server_base_url() + builtin_launcher_jar_path();
    std::wstring error;
    std::optional<downloaded_file> download = download_to_file(
        url, jar_path + L".tmp", download_limits{max_jar_bytes(), wanted.size}, make_status_progress(), error);
    if (download && (!download->digest || to_utf8(hex_lower(*download->digest)) != wanted.sha256_hex)) {
        error = L"скачанный файл не совпадает с файлом выпуска (SHA-256)";
        discard_download(*download);
        download.reset();
    }
    post_status_progress(-1);
    if (!download) {
        log_line(L"ОШИБКА скачивания: " + error);
        // Only a jar this key's releases installed here runs in its place.
        const std::optional<verified_record>& verified = launch.release.verified;
        if (local && verified && verified->jar_sha256_hex == *local) {
            log_line(L"Локальный файл есть — запускаю его без обновления.");
            return true;
        }
        failure.log.clear();  // the line above is the failure's line
        failure.kind = final_box::launcher_download_failed;
        failure.box = L"Не удалось скачать лаунчер.\n\n" + error;
        return false;
    }
    log_line(local ? L"Обнаружено обновление! (Local: " + *local_digest + L", Remote: " +
                         from_utf8(wanted.sha256_hex) + L")"
                   : std::wstring(L"Первый запуск: лаунчер скачан."));
    if (!install_download(*download, jar_path, error)) {
        log_line(L"ОШИБКА: " + error);
        const std::optional<verified_record>& verified = launch.release.verified;
        if (local && verified && verified->jar_sha256_hex == *local) return true;
        failure.log.clear();
        failure.kind = final_box::launcher_download_failed;
        failure.box = L"Не удалось скачать лаунчер.\n\n" + error;
        return false;
    }
    log_line(L"Лаунчер обновлён: " + jar_path);
    save_last_sha256(launcher_file(launch, L"last.sha256"), from_utf8(wanted.sha256_hex));
    save_verified_record(launch, record_jar(launch.release.verified, launch.key_fingerprint, wanted.sha256_hex));
    return true;
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
    if (launch.release_build) return release_update(launch, local_digest, failure);

    post_status_text(L"Скачивание лаунчера...");
    const std::wstring url = server_base_url() + builtin_launcher_jar_path();
    std::wstring error;
    // Held open until it is renamed or deleted: the digest compared below is that of the very bytes
    // installed.
    std::optional<downloaded_file> download =
        download_to_file(url, temp_path, download_limits{max_jar_bytes(), std::nullopt}, make_status_progress(), error);
    if (!download) {
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

    if (!download->digest) {
        log_line(L"ОШИБКА: не удалось вычислить хеш скачанного файла.");
        discard_download(*download);
        if (file_exists(jar_path)) return true;
        failure.log.clear();
        failure.kind = final_box::launcher_digest_failed;
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
