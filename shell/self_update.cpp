// The shell replacing its own exe. Windows lets a running exe be renamed but not deleted, so the old
// file steps aside as <exe>.old, the new one takes its name, and the next run deletes the old one.
#include "shell/self_update.h"

#include <winver.h>

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <utility>
#include <vector>

#include "base/handle.h"
#include "base/log.h"
#include "base/text.h"
#include "shell/panel.h"
#include "shell/resources/resource_ids.h"
#include "shell/server_address.h"

namespace {

// Larger than any shell will be; the offer's size comes from a signed release, this only bounds memory.
constexpr std::uint64_t kMaxShellBytes = 64ull * 1024 * 1024;
// How long a self-test that was terminated may take to end before its file is deleted.
constexpr DWORD kTerminatedWaitMs = 5000;

void say(const self_update_env& env, std::wstring_view text) {
    if (env.status) env.status(text);
}

std::wstring folder_of(const std::wstring& path) {
    const std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring(L".") : path.substr(0, cut);
}

// Renames the file behind `file` (opened with DELETE access) to the full path `target`; false with the
// platform's code in `code`.
bool rename_open_file(HANDLE file, const std::wstring& target, bool replace, DWORD& code) {
    const std::wstring name = nt_path(target);
    const std::size_t bytes = offsetof(FILE_RENAME_INFO, FileName) + (name.size() + 1) * sizeof(wchar_t);
    std::vector<std::uint64_t> storage((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));  // bytes, without the NUL
    std::copy(name.begin(), name.end(), info->FileName);
    const DWORD size = static_cast<DWORD>(storage.size() * sizeof(std::uint64_t));
    if (SetFileInformationByHandle(file, FileRenameInfo, info, size)) return true;
    code = GetLastError();
    return false;
}

// Marks the file behind `file` for deletion when its last handle closes.
void delete_open_file(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// The whole file through `file`, which must hold exactly `size` bytes.
std::optional<std::string> read_exactly(HANDLE file, std::uint64_t size) {
    LARGE_INTEGER actual{};
    if (!GetFileSizeEx(file, &actual) || static_cast<std::uint64_t>(actual.QuadPart) != size) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        DWORD got = 0;
        if (!ReadFile(file, bytes.data() + done, want, &got, nullptr) || got == 0) return std::nullopt;
        done += got;
    }
    return bytes;
}

std::optional<shell_identity> identity_from_record(const void* record, DWORD size) {
    // VerQueryValueW reads a copy: the record of a loaded image is read-only memory.
    std::vector<unsigned char> copy(static_cast<const unsigned char*>(record),
                                    static_cast<const unsigned char*>(record) + size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(copy.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BDu) {
        return std::nullopt;
    }
    shell_identity identity;
    identity.version = version_from_halves(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    // The first translation names the string table; a record without one uses US English, Unicode.
    std::wstring table = L"040904b0";
    WORD* translation = nullptr;
    if (VerQueryValueW(copy.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                       &length) &&
        length >= 4) {
        static const wchar_t digits[] = L"0123456789abcdef";
        table.clear();
        for (const WORD part : {translation[0], translation[1]}) {
            for (int shift = 12; shift >= 0; shift -= 4) table += digits[(part >> shift) & 0xF];
        }
    }
    wchar_t* product = nullptr;
    const std::wstring key = L"\\StringFileInfo\\" + table + L"\\ProductName";
    if (VerQueryValueW(copy.data(), key.c_str(), reinterpret_cast<void**>(&product), &length) && length > 0) {
        identity.product.assign(product, wcsnlen(product, length));
    }
    return identity;
}

// A started process's end within `limit_ms`; terminated (and waited for a little) when it did not end.
// The exit code, or nothing with the reason.
std::optional<DWORD> wait_for_end(HANDLE process, std::uint32_t limit_ms, std::wstring& reason) {
    if (WaitForSingleObject(process, limit_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        // Its image must be unmapped before the file can be deleted.
        WaitForSingleObject(process, kTerminatedWaitMs);
        reason = L"превышен таймаут (" + decimal((std::uint64_t{limit_ms} + 999) / 1000) + L" сек)";
        return std::nullopt;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

}  // namespace

std::optional<shell_identity> module_identity(HMODULE module) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    if (found == nullptr) return std::nullopt;
    HGLOBAL loaded = LoadResource(module, found);
    const void* record = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(module, found);
    if (record == nullptr || size == 0) return std::nullopt;
    return identity_from_record(record, size);
}

std::optional<shell_identity> file_identity(const std::wstring& path) {
    // Loaded as data: nothing of the file runs, and its resources are read as the loader would.
    HMODULE module =
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) return std::nullopt;
    std::optional<shell_identity> identity = module_identity(module);
    FreeLibrary(module);
    return identity;
}

bool current_self_update_env(self_update_env& env, std::wstring& error) {
    std::wstring exe(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (n == 0 || n >= exe.size()) {
        const DWORD code = n == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        error = with_code(L"не удалось определить путь программы", code);
        return false;
    }
    exe.resize(n);
    // The image in memory: the file on disk may already be another one.
    std::optional<shell_identity> own = module_identity(nullptr);
    if (!own) {
        error = L"не удалось прочитать версию программы";
        return false;
    }
    std::wstring folder(32768, L'\0');
    const DWORD m = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    folder.resize(m < folder.size() ? m : 0);  // 0 or too long: the new exe inherits ours
    env.exe_path = std::move(exe);
    env.running = std::move(*own);
    env.command_line = GetCommandLineW();
    env.working_dir = std::move(folder);
    return true;
}

self_update_result self_update(const shell_offer& offer, const self_update_env& env, std::wstring& error) {
    if (!offer_is_newer(offer.version, env.running.version)) return self_update_result::not_newer;
    log_line(L"Доступна новая версия лаунчера: " + version_text(offer.version) + L" (текущая " +
             version_text(env.running.version) + L").");

    const std::wstring new_path = new_shell_path(env.exe_path);
    const std::wstring old_path = old_shell_path(env.exe_path);
    const auto fail = [&error](std::wstring reason) {
        log_line(L"ОШИБКА обновления лаунчера: " + reason + L". Продолжаю с текущей версией.");
        error = std::move(reason);
        return self_update_result::failed_continue;
    };

    // A leftover of an earlier attempt, or a link planted under that name, goes first (a link itself,
    // never what it points to): the download must create a file of its own.
    DeleteFileW(new_path.c_str());
    {
        kernel_handle probe{CreateFileW(new_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr)};
        if (!probe) {
            const DWORD code = GetLastError();
            if (code == ERROR_ACCESS_DENIED) {
                log_line(L"Каталог программы недоступен для записи — обновление лаунчера пропущено: " +
                         folder_of(env.exe_path));
                return self_update_result::folder_not_writable;
            }
            return fail(with_code(L"не удалось создать файл", code) + L": " + new_path);
        }
    }
    if (offer.size == 0 || offer.size > kMaxShellBytes) return fail(L"недопустимый размер новой версии");

    if (!env.download) return fail(L"не задан способ скачивания");
    say(env, L"Скачивание новой версии лаунчера...");
    std::wstring reason;
    const std::optional<std::string> downloaded = env.download(offer.url, new_path, offer.size, reason);
    if (!downloaded) {
        DeleteFileW(new_path.c_str());
        return fail(L"не удалось скачать новую версию: " + reason);
    }

    // From here to the swap the file is held: others may read it, nobody may write, rename or delete it.
    // A link is opened as itself, and then refused.
    kernel_handle held{CreateFileW(new_path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr)};
    if (!held) {
        const DWORD code = GetLastError();
        DeleteFileW(new_path.c_str());
        return fail(with_code(L"не удалось открыть скачанный файл", code) + L": " + new_path);
    }
    const auto discard = [&held, &fail](std::wstring why) {
        delete_open_file(held.get());
        held.reset();
        return fail(std::move(why));
    };
    // A second name for the same file (a hard link made in between) would let its maker write into the
    // installed exe later: only a file with this one name is taken.
    BY_HANDLE_FILE_INFORMATION file_info{};
    if (!GetFileInformationByHandle(held.get(), &file_info) || file_info.nNumberOfLinks != 1 ||
        (file_info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return discard(L"скачанный файл не является обычным файлом: " + new_path);
    }
    // The digest the download saw, and the digest of the bytes now held: both must be the release's.
    const std::optional<std::string> bytes = read_exactly(held.get(), offer.size);
    if (!bytes) {
        return discard(L"размер скачанного файла не совпадает с ожидаемым (" + decimal(offer.size) +
                       L" байт)");
    }
    const std::string held_digest = to_utf8(hex_lower(sha256_bytes(*bytes)));
    if (!same_sha256_hex(*downloaded, offer.sha256_hex) || !same_sha256_hex(held_digest, offer.sha256_hex)) {
        return discard(L"хеш скачанного файла не совпадает с ожидаемым");
    }

    say(env, L"Проверка новой версии лаунчера...");
    const std::optional<shell_identity> candidate = file_identity(new_path);
    if (!candidate) return discard(L"не удалось прочитать версию скачанного файла");
    switch (check_candidate(offer.version, *candidate, env.running)) {
    case candidate_verdict::other_version:
        return discard(L"версия скачанного файла " + version_text(candidate->version) + L" вместо " +
                       version_text(offer.version));
    case candidate_verdict::other_product:
        return discard(L"скачанный файл от другого продукта: \"" + candidate->product + L"\"");
    case candidate_verdict::fits:
        break;
    }

    {
        // Started by its full path, never searched; hidden; inherits nothing.
        std::wstring command_line = self_test_command_line(new_path);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(new_path.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                            nullptr, nullptr, &startup, &started)) {
            return discard(with_code(L"не удалось запустить самопроверку новой версии", GetLastError()));
        }
        const process_handles test(started);
        std::wstring why;
        const std::optional<DWORD> code = wait_for_end(test.process.get(), env.self_test_limit_ms, why);
        if (!code) return discard(L"самопроверка новой версии: " + why);
        if (*code != 0) return discard(L"самопроверка новой версии завершилась с кодом " + decimal(*code));
    }

    say(env, L"Установка новой версии лаунчера...");
    if (!MoveFileExW(env.exe_path.c_str(), old_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD code = GetLastError();
        return discard(with_code(L"не удалось переименовать текущую версию", code) + L": " + env.exe_path);
    }
    // Whatever goes wrong from here puts the running exe back under its name.
    const auto undo_and_discard = [&](std::wstring why) {
        if (!MoveFileExW(old_path.c_str(), env.exe_path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            // The player's shortcut now finds nothing; the log must say where the exe went.
            const DWORD code = GetLastError();
            why += L"; " + with_code(L"не удалось вернуть текущую версию на место", code) + L": " + old_path;
        }
        return discard(std::move(why));
    };
    DWORD code = 0;
    if (!rename_open_file(held.get(), env.exe_path, false, code)) {
        return undo_and_discard(with_code(L"не удалось поставить новую версию на место", code));
    }

    say(env, L"Перезапуск лаунчера...");
    // Suspended until the mutex is released: the new process must find it free, and a start that
    // fails leaves this run with its mutex.
    std::wstring command_line = env.command_line;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    const wchar_t* folder = env.working_dir.empty() ? nullptr : env.working_dir.c_str();
    if (!CreateProcessW(env.exe_path.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, folder, &startup, &started)) {
        code = GetLastError();
        DWORD ignored = 0;
        rename_open_file(held.get(), new_path, false, ignored);  // out of the exe's name before it returns
        return undo_and_discard(with_code(L"не удалось запустить новую версию", code));
    }
    const process_handles next(started);
    held.reset();
    if (env.release_instance) env.release_instance();
    ResumeThread(next.thread.get());
    log_line(L"Лаунчер обновлён до версии " + version_text(offer.version) + L" — перезапуск.");
    return self_update_result::installed_restarting;
}

void remove_previous_shell(const std::wstring& exe_path) {
    const std::wstring old_path = old_shell_path(exe_path);
    // DeleteFileW removes a link itself and refuses a folder. It fails while the run that installed this
    // exe is still ending (its image is that file); the next run tries again, so that is no error.
    if (DeleteFileW(old_path.c_str())) log_line(L"Удалена прежняя версия лаунчера: " + old_path);
}

void remove_previous_shell() {
    std::wstring exe(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (n == 0 || n >= exe.size()) return;
    exe.resize(n);
    remove_previous_shell(exe);
}

int run_self_test(HINSTANCE instance) {
    // The exe's own resources, as the panel and the loader will need them.
    if (FindResourceW(instance, MAKEINTRESOURCEW(IDI_APP_ICON), RT_GROUP_ICON) == nullptr) return 1;
    if (FindResourceW(instance, MAKEINTRESOURCEW(1), RT_MANIFEST) == nullptr) return 1;
    const std::optional<shell_identity> own = module_identity(instance);
    if (!own || own->product.empty()) return 1;
    // The built-in configuration decodes: the download paths are server paths, and a publisher key,
    // when the build has one, is a key.
    const auto server_path = [](const std::wstring& path) { return !path.empty() && path.front() == L'/'; };
    if (!server_path(builtin_launcher_jar_path()) || !server_path(builtin_java_archive_path())) return 1;
    const std::string_view key = publisher_key_pem();
    if (!key.empty() && !p256_point_from_pem(key)) return 1;
    return 0;
}

shell_download file_download(download_progress progress) {
    return [progress = std::move(progress)](const std::wstring& url, const std::wstring& path,
                                            std::uint64_t expected_size,
                                            std::wstring& error) -> std::optional<std::string> {
        // The exact size stops a longer body as soon as it passes it; the digest is that of the bytes
        // written. The handle closes here: self_update holds the file again and checks it once more.
        std::optional<downloaded_file> download =
            download_to_file(url, path, download_limits{expected_size, expected_size}, progress, error);
        if (!download) return std::nullopt;
        if (!download->digest) {
            error = L"не удалось вычислить хеш скачанного файла";
            return std::nullopt;
        }
        return to_utf8(hex_lower(*download->digest));
    };
}

bool run_self_update_step(const shell_offer& offer, std::function<void()> release_instance,
                          shell_download download) {
    self_update_env env;
    std::wstring error;
    if (!current_self_update_env(env, error)) {
        log_line(L"ОШИБКА обновления лаунчера: " + error + L". Продолжаю с текущей версией.");
        return false;
    }
    env.download = download ? std::move(download) : file_download(make_status_progress());
    env.status = post_status_text;
    env.release_instance = std::move(release_instance);
    const self_update_result result = self_update(offer, env, error);
    post_status_progress(-1);
    return result == self_update_result::installed_restarting;
}
