// The launcher directory: the first writable candidate of a fixed list, chosen once per process.
#include <windows.h>
#include <shlobj.h>

#include <optional>

#include "base/handle.h"
#include "base/system.h"
#include "base/text_pure.h"
#include "shell/launcher_dir_internal.h"

namespace {

constexpr DWORD kBufferChars = 32768;

bool shell_folder(int csidl, std::wstring& out) {
    std::wstring buffer(kBufferChars, L'\0');
    // SHGetFolderPathW writes at most MAX_PATH characters; the larger buffer costs nothing.
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer.data()))) return false;
    buffer.resize(wcslen(buffer.c_str()));
    out = buffer;
    return true;
}

std::wstring module_directory() {
    std::wstring buffer(kBufferChars, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), kBufferChars);
    if (n == 0 || n >= kBufferChars) return {};  // unreadable, or cut short: no directory
    buffer.resize(n);
    const std::size_t cut = buffer.find_last_of(L"\\/");
    return cut == std::wstring::npos ? buffer : buffer.substr(0, cut);
}

std::wstring probe_log_path() {
    std::wstring temp = read_env(L"TEMP");
    if (temp.empty()) temp = L".";
    return temp + L"\\quillmarsh_probe.log";
}

void append_probe_line(const std::wstring& probe_log, const std::wstring& candidate, const std::wstring& outcome) {
    kernel_handle file{CreateFileW(probe_log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return;
    const std::wstring line = L"[probe] " + candidate + L" -> " + outcome + L"\r\n";
    // UTF-16 little-endian without a byte order mark: the program's own wide characters as they are.
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
}

// Creates the directory (last element only) and a test file in it; nothing when the candidate is
// writable, else the reason.
std::optional<std::wstring> try_candidate(const std::wstring& candidate) {
    if (candidate.empty()) return L"пустой путь";
    if (!CreateDirectoryW(candidate.c_str(), nullptr)) {
        const DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS) return L"создание каталога: код " + decimal(code);
    }
    const std::wstring test_file = candidate + L"\\.quillmarsh_write_test";
    kernel_handle file{CreateFileW(test_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) {
        // A stale file from an earlier run must not block the candidate: delete it and try once more.
        DeleteFileW(test_file.c_str());
        file.reset(CreateFileW(test_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
        if (!file) {
            const DWORD code = GetLastError();
            return L"тестовый файл: код " + decimal(code);
        }
    }
    file.reset();
    DeleteFileW(test_file.c_str());
    return std::nullopt;
}

}  // namespace

std::vector<std::wstring> launcher_dir_candidates() {
    std::vector<std::wstring> list;
    std::wstring folder;
    if (shell_folder(CSIDL_APPDATA, folder)) list.push_back(folder + L"\\.quillmarsh\\launcher");
    if (shell_folder(CSIDL_LOCAL_APPDATA, folder)) list.push_back(folder + L"\\.quillmarsh\\launcher");
    list.push_back(module_directory() + L"\\launcher_data");
    const std::wstring temp = read_env(L"TEMP");
    if (!temp.empty()) list.push_back(temp + L"\\.quillmarsh\\launcher");
    return list;
}

launcher_location resolve_launcher_dir(const std::vector<std::wstring>& candidates,
                                       const std::wstring& probe_log_path) {
    for (const std::wstring& candidate : candidates) {
        const std::optional<std::wstring> reason = try_candidate(candidate);
        append_probe_line(probe_log_path, candidate, reason.value_or(L"OK"));
        if (!reason) return {candidate, true};
    }
    return {candidates.empty() ? std::wstring{} : candidates.front(), false};
}

const launcher_location& process_launcher_dir() {
    // A function-local static: initialised once, and a second thread that asks meanwhile waits.
    static const launcher_location location = resolve_launcher_dir(launcher_dir_candidates(), probe_log_path());
    return location;
}
