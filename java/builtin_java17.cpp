// The built-in Java 17: kept in the launcher directory's "Java17", provisioned from the server's
// archive when missing. A new runtime is unpacked beside the old one ("Java17.new") and swapped in
// by one rename, so a failed download or unpack never leaves a half-replaced runtime behind.
#include <windows.h>

#include "java/java.h"
#include "net/net.h"

namespace {

struct java17_paths {
    std::wstring target;   // L\Java17
    std::wstring staging;  // L\Java17.new
    std::wstring archive;  // L\Java17.zip
};

java17_paths java17_paths_below(const std::wstring& launcher_dir) {
    return {launcher_dir + L"\\Java17", launcher_dir + L"\\Java17.new", launcher_dir + L"\\Java17.zip"};
}

// The first home below `root` (depth 2) that passes the probe, else nothing; `found_any` tells
// whether the search saw a home at all and `first` holds the first one it saw.
std::optional<std::wstring> first_working_home(const std::wstring& root, std::optional<std::wstring>* first) {
    std::vector<std::wstring> homes;
    search_java_homes(root, 2, homes);
    if (first != nullptr && !homes.empty()) *first = homes.front();
    for (const std::wstring& home : homes) {
        if (probe_java(home)) return home;
    }
    return std::nullopt;
}

enum class attempt_result { done, failed, stop };

const wchar_t kDownloadFailed[] = L"скачивание Java 17 не удалось: ";

// One clean staging folder, download, check, unpack, probe and swap. On `done` the home is in `home`
// and `error` is empty.
attempt_result provision_once(const java17_paths& paths, const std::wstring& archive_url,
                              const std::wstring& version_key, const download_limits& limits, std::wstring& error,
                              const download_progress& progress, std::string_view publisher_key_pem,
                              std::wstring& home) {
    // The archive is unpacked into a folder made by this attempt, never merged into what an earlier
    // run left (a file held open by another program, a planted link or file that cannot be removed).
    remove_tree(paths.staging);
    if (GetFileAttributesW(paths.staging.c_str()) != INVALID_FILE_ATTRIBUTES ||
        !CreateDirectoryW(paths.staging.c_str(), nullptr)) {
        error = L"не удалось очистить папку распаковки: " + paths.staging;
        return attempt_result::failed;
    }

    std::optional<downloaded_file> download = download_to_file(archive_url, paths.archive, limits, progress, error);
    if (!download) {
        error = kDownloadFailed + error;
        return attempt_result::failed;
    }
    // Nothing is unpacked, let alone run, that the publisher did not sign; the next attempt may get
    // an intact archive. The digest checked is the one taken while the archive was written.
    if (!verify_download(archive_url, paths.archive, download->digest, publisher_key_pem, error)) {
        discard_download(*download);
        error = kDownloadFailed + error;
        return attempt_result::failed;
    }

    if (!version_key.empty()) {
        const std::optional<std::wstring> digest =
            download->digest ? std::optional<std::wstring>(hex_lower(*download->digest)) : std::nullopt;
        if (!version_key_matches(digest, version_key)) {
            discard_download(*download);
            error = L"скачанный Java17.zip не совпадает с ключом версии";
            return attempt_result::stop;  // another download would bring the same archive
        }
    }

    // The unpackers read the archive by its path: while they run, this handle keeps anyone from
    // writing, renaming or deleting it, and it holds exactly the bytes checked above.
    kernel_handle held = hold_for_reading(*download, error);
    if (!held) {
        DeleteFileW(paths.archive.c_str());
        error = kDownloadFailed + error;
        return attempt_result::failed;
    }

    std::wstring tar_error;
    if (!run_system_program(kTarProgram, tar_command_line(paths.archive, paths.staging), tar_error)) {
        // Older systems have no tar.exe; PowerShell's reason is not kept, the first one says more.
        std::wstring powershell_error;
        if (!run_system_program(kPowerShellProgram, expand_archive_command_line(paths.archive, paths.staging),
                                powershell_error)) {
            error = L"распаковка не удалась (" + tar_error + L")";
            held.reset();  // our own handle would keep the delete from happening
            DeleteFileW(paths.archive.c_str());
            return attempt_result::failed;
        }
    }
    held.reset();
    DeleteFileW(paths.archive.c_str());

    const std::optional<std::wstring> fresh = first_working_home(paths.staging, nullptr);
    if (!fresh) {
        error = L"Java 17 распакована, но java.exe не запускается";
        return attempt_result::failed;
    }
    // Noted before the rename: the same relative path then lies below the target directory.
    const std::wstring relative = relative_below(paths.staging, *fresh).value_or(std::wstring());

    remove_tree(paths.target);
    if (!MoveFileExW(paths.staging.c_str(), paths.target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = L"не удалось заменить старую Java 17";
        return attempt_result::failed;
    }
    error.clear();
    home = paths.target + relative;
    return attempt_result::done;
}

}  // namespace

std::optional<std::wstring> ensure_builtin_java17(const std::wstring& launcher_dir, const std::wstring& archive_url,
                                                  const std::wstring& version_key, bool force, std::wstring& error,
                                                  const download_progress& progress, const download_limits& limits,
                                                  std::string_view publisher_key_pem) {
    const java17_paths paths = java17_paths_below(launcher_dir);

    // A home that fails the probe is still kept: the client start stage tries it and tells the player
    // why it failed, which says more than a download that may not be possible.
    std::optional<std::wstring> existing_first;
    std::optional<std::wstring> existing = first_working_home(paths.target, &existing_first);
    if (!existing) existing = existing_first;
    if (existing && !force) return existing;

    for (int attempt = 1; attempt <= 2; ++attempt) {
        std::wstring home;
        const attempt_result result =
            provision_once(paths, archive_url, version_key, limits, error, progress, publisher_key_pem, home);
        if (result == attempt_result::done) return home;
        if (result == attempt_result::stop) break;
    }
    remove_tree(paths.staging);

    // A failed swap may already have removed the old runtime: only a home still there is returned as
    // the one in use, otherwise the failure is reported as such.
    if (existing && is_java_home(*existing)) {
        if (error.empty()) error = L"не удалось обновить Java 17";
        return existing;
    }
    return std::nullopt;
}

void remove_java17_leftovers(const std::wstring& launcher_dir) {
    const java17_paths paths = java17_paths_below(launcher_dir);
    remove_partial_download(paths.archive);
    remove_tree(paths.staging);
}
