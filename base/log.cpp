// The launcher log. The file stays open from the first line after it was named until another is named
// or the process ends: each line is one appending write, on disk before the next event, without an
// open and a close per line.
#include "base/log.h"

#include <chrono>
#include <mutex>

#include "base/handle.h"
#include "base/text.h"

namespace {

// The named file; any thread, under g_log_path_lock, which is never held during I/O.
std::mutex g_log_path_lock;
std::wstring g_log_path;

// Lines of this process are written one at a time: on an append-only handle Windows appends each
// write atomically, but Wine finds the end and writes there in two steps, so two racing lines can land
// on the same spot. The wait is bounded, so a writer stuck in the file system never stops the
// watchdog's line: after it, the line is written through a handle of its own, unordered.
std::timed_mutex g_log_turn;
kernel_handle g_log;  // the open file, under g_log_turn; empty until a line could open it

// Append-only access: every write lands at the end. Read, write and delete sharing: a reader (the
// player's editor, a support tool) never makes lines fail, and the file can still be removed or
// renamed while the shell runs. A new file starts with the UTF-8 byte order mark.
kernel_handle open_log(const std::wstring& path) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    kernel_handle file{
        CreateFileW(path.c_str(), FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file && GetLastError() != ERROR_ALREADY_EXISTS) {
        static const unsigned char bom[3] = {0xEF, 0xBB, 0xBF};
        DWORD written = 0;
        WriteFile(file.get(), bom, 3, &written, nullptr);
    }
    return file;
}

void append(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void set_log_file(const std::wstring& path) {
    const std::lock_guard<std::timed_mutex> turn(g_log_turn);
    g_log.reset();
    const std::lock_guard<std::mutex> lock(g_log_path_lock);
    g_log_path = path;
}

std::wstring log_file() {
    const std::lock_guard<std::mutex> lock(g_log_path_lock);
    return g_log_path;
}

void log_line(const std::wstring& message) {
    std::wstring line = format_time_stamp(current_local_time());
    line += L' ';
    line += message;
    line += L"\r\n";
    const std::string bytes = to_utf8(line);

    std::unique_lock<std::timed_mutex> turn(g_log_turn, std::defer_lock);
    if (!turn.try_lock_for(std::chrono::seconds(2))) {
        const std::wstring path = log_file();
        if (path.empty()) return;
        const kernel_handle own = open_log(path);
        if (own) append(own.get(), bytes);
        return;
    }
    if (!g_log) {
        const std::wstring path = log_file();
        if (path.empty()) return;
        g_log = open_log(path);  // a file that cannot be opened now is tried again with the next line
        if (!g_log) return;
    }
    append(g_log.get(), bytes);
}
