// The launcher log. The file is opened, appended to and closed per line: a log that the player (or a
// support tool) removes or renames while the shell runs starts again with the next line, and nothing
// stays open when the process is ended from outside.
#include "base/log.h"

#include <chrono>
#include <mutex>

#include "base/handle.h"
#include "base/system.h"
#include "base/text.h"

namespace {

// Written by set_log_file, read by log_line; any thread, always under g_log_mutex (never held during I/O).
std::mutex g_log_mutex;
std::wstring g_log_path;

// Lines of this process are written one at a time: on an append-only handle Windows appends each
// write atomically, but Wine finds the end and writes there in two steps, so two racing lines can land
// on the same spot. The wait is bounded, so a writer stuck in the file system never stops the
// watchdog's line: after it, the line is written unordered, as without the lock.
std::timed_mutex g_log_turn;

}  // namespace

void set_log_file(const std::wstring& path) {
    const std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_path = path;
}

std::wstring log_file() {
    const std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log_path;
}

void log_line(const std::wstring& message) {
    std::wstring line = format_time_stamp(current_local_time());
    line += L' ';
    line += message;
    line += L"\r\n";
    const std::string bytes = to_utf8(line);

    const std::wstring path = log_file();
    if (path.empty()) return;
    std::unique_lock<std::timed_mutex> turn(g_log_turn, std::defer_lock);
    // Not owning the turn after the wait is acceptable: the line is then written as it comes.
    (void)turn.try_lock_for(std::chrono::seconds(2));
    // Append-only access: each line is one write at the end. Write sharing as well as read sharing:
    // a reader (the player's editor, a support tool) must not make lines fail.
    // Never through a link planted at the log's name: the line would land wherever it points.
    bool created = false;
    DWORD code = 0;
    kernel_handle file = open_plain_file(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, false,
                                         nullptr, created, code);
    if (!file) return;
    DWORD written = 0;
    if (created) {
        static const unsigned char bom[3] = {0xEF, 0xBB, 0xBF};
        WriteFile(file.get(), bom, 3, &written, nullptr);
    }
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
