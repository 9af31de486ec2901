// The release manifest's fetch and checks, the two records in the launcher directory, and the wiring
// of the shell's self-update.
#include "shell/release_flow.h"

#include <windows.h>

#include <ctime>

#include "base/handle.h"
#include "base/log.h"
#include "base/text.h"
#include "net/net.h"
#include "shell/entry.h"
#include "shell/panel.h"
#include "shell/self_update.h"
#include "shell/server_address.h"

namespace {

// A record of at most kReleaseManifestLimit bytes, read without following a link; nothing when it is
// missing, a link, larger, or unreadable (each counts as no record).
std::optional<std::string> read_record(const std::wstring& path) {
    kernel_handle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
    if (!file) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) return std::nullopt;
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > kReleaseManifestLimit) return std::nullopt;
    std::string bytes(info.nFileSizeLow, '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), info.nFileSizeLow, &got, nullptr) ||
                           got != info.nFileSizeLow)) {
        return std::nullopt;
    }
    return bytes;
}

// Temp + rename: a reader sees the old record or the new one, never half of one. The temporary name is
// created new (a link planted there is deleted first, itself), and the rename replaces whatever is at
// the record's name without following it.
bool write_record(const std::wstring& path, const std::string& bytes, std::wstring& error) {
    const std::wstring temp = path + L".tmp";
    DeleteFileW(temp.c_str());
    {
        kernel_handle file{CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                       nullptr)};
        if (!file) {
            error = with_code(L"не удалось записать " + temp, GetLastError());
            return false;
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size() || !FlushFileBuffers(file.get())) {
            error = with_code(L"не удалось записать " + temp, GetLastError());
            file.reset();
            DeleteFileW(temp.c_str());
            return false;
        }
    }
    if (!MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = with_code(L"не удалось записать " + path, GetLastError());
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

std::int64_t utc_now_unix() {
    // The system's UTC clock; time() counts seconds since 1970-01-01T00:00:00Z whatever the zone.
    return static_cast<std::int64_t>(std::time(nullptr));
}

void distrust(launch_context& launch, const std::wstring& reason) {
    launch.release.trusted = false;
    launch.release.distrust = reason;
    log_line(L"ВНИМАНИЕ: файл выпуска не принят: " + reason + L". Обновления не скачиваются.");
}

}  // namespace

bool release_build() {
    return !publisher_key_pem().empty();
}

std::wstring untrusted_release_text(const launch_context& launch) {
    return L"Файл выпуска не принят: " + launch.release.distrust + L".";
}

void save_verified_record(const launch_context& launch, const verified_record& record) {
    std::wstring error;
    if (!write_record(launcher_file(launch, kVerifiedRecordName), serialize_verified_record(record), error)) {
        log_line(L"ОШИБКА: " + error);
    }
}

void run_release_manifest_step(launch_context& launch) {
    launch.release = release_view{};
    remove_previous_shell();
    post_status_text(L"Проверка обновлений...");

    const std::optional<p256_point> key = p256_point_from_pem(publisher_key_pem());
    if (!key) {
        distrust(launch, L"ключ проверки подписей в программе повреждён");
        return;
    }
    launch.key_fingerprint = publisher_key_fingerprint(*key, sha256_bytes);
    if (const std::optional<std::string> text = read_record(launcher_file(launch, kVerifiedRecordName))) {
        std::optional<verified_record> record = parse_verified_record(*text);
        if (record && record->key_fingerprint == launch.key_fingerprint) launch.release.verified = std::move(record);
    }

    const std::wstring url = server_base_url() + builtin_release_path();
    std::wstring error;
    const std::optional<std::string> text = fetch_small_body(url, kReleaseManifestLimit, error);
    if (!text) {
        distrust(launch, L"не удалось скачать файл выпуска: " + error);
        return;
    }
    const std::optional<std::string> signature = fetch_small_body(url + L".sig", kSignatureBodyLimit, error);
    if (!signature) {
        distrust(launch, L"не удалось скачать подпись файла выпуска: " + error);
        return;
    }
    if (!verify_digest_signature(sha256_bytes(*text), *signature, *key, error)) {
        distrust(launch, error == kSignatureWrongText     ? std::wstring(L"подпись файла выпуска неверна")
                         : error == kSignatureDamagedText ? std::wstring(L"подпись файла выпуска повреждена")
                                                          : error);
        return;
    }
    release_manifest manifest;
    const manifest_refusal refusal = parse_release_manifest(*text, manifest);
    if (refusal != manifest_refusal::none) {
        distrust(launch, manifest_refusal_text(refusal));
        return;
    }
    const std::wstring sequence_path = launcher_file(launch, kSequenceRecordName);
    std::uint64_t highest = 0;
    if (const std::optional<std::string> record_text = read_record(sequence_path)) {
        const std::optional<accepted_sequence> record = parse_accepted_sequence(*record_text);
        if (record && record->key_fingerprint == launch.key_fingerprint) highest = record->sequence;
    }
    const manifest_check check = check_release_manifest(manifest, builtin_product(), utc_now_unix(), highest);
    if (check != manifest_check::ok) {
        distrust(launch, manifest_check_text(check));
        return;
    }
    if (manifest.sequence != highest &&
        !write_record(sequence_path, serialize_accepted_sequence({launch.key_fingerprint, manifest.sequence}),
                      error)) {
        // The release is still the one signed; only a later rollback check has less to go on.
        log_line(L"ОШИБКА: " + error);
    }
    log_line(L"Файл выпуска принят: номер " + std::to_wstring(manifest.sequence) + L".");
    launch.release.trusted = true;
    launch.release.manifest = std::move(manifest);
}

bool run_release_shell_step(const launch_context& launch) {
    if (!launch.release.trusted || !launch.release.manifest.shell) return false;
    const release_shell& offered = *launch.release.manifest.shell;
    shell_offer offer;
    offer.url = server_base_url() + builtin_shell_path();
    offer.sha256_hex = offered.file.sha256_hex;
    offer.size = offered.file.size;
    offer.version = offered.version;
    return run_self_update_step(offer, release_instance_mutex);
}
