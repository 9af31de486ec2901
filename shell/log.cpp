// The launcher log (launcher.log in the launcher directory) and the UTF-8 conversions.
#include <chrono>
#include <mutex>

#include "shell/handle.h"
#include "shell/shell.h"

namespace {

// Lines of this process are written one at a time: on an append-only handle Windows appends each
// write atomically, but Wine finds the end and writes there in two steps, so two racing lines can land
// on the same spot. The wait is bounded, so a writer stuck in the file system never stops the
// watchdog's line: after it, the line is written unordered, as without the lock.
std::timed_mutex g_log_lock;

}  // namespace

std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    const int written = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

std::wstring from_utf8(std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    // No flags: malformed bytes become replacement characters instead of failing the conversion.
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (size <= 0) return {};
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

local_time current_local_time() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return local_time{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

std::wstring launcher_file_path(const wchar_t* name) {
    std::wstring path = launcher_dir();
    path += L'\\';
    path += name;
    return path;
}

void log_line(const std::wstring& message) {
    const std::wstring path = launcher_file_path(L"launcher.log");
    std::unique_lock<std::timed_mutex> turn(g_log_lock, std::defer_lock);
    // Not owning the lock after the wait is acceptable: the line is then written as it comes.
    (void)turn.try_lock_for(std::chrono::seconds(2));
    // Append-only access: each line is one write at the end, so concurrent lines never overlap. Write
    // sharing as well as read sharing: with read sharing alone, a line from the watchdog that meets a
    // worker line finds the file open and is lost to a sharing violation.
    kernel_handle file{CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return;
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    DWORD written = 0;
    if (created) {
        static const unsigned char bom[3] = {0xEF, 0xBB, 0xBF};
        WriteFile(file.get(), bom, 3, &written, nullptr);
    }
    std::wstring line = format_time_stamp(current_local_time());
    line += L' ';
    line += message;
    line += L"\r\n";
    const std::string bytes = to_utf8(line);
    // A lost line is acceptable: nothing in the launch sequence depends on the log being complete.
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
