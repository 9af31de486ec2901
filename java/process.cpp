// The Java probe, the hidden process runner and tree removal.
#include <cwchar>

#include "base/handle.h"
#include "java/java_internal.h"

namespace {

// Starts the command line without a window, inheriting nothing; the program is found the way
// CreateProcessW resolves the first token. Empty handles when it cannot be started.
process_handles start_hidden(const std::wstring& command_line) {
    std::wstring writable = command_line;  // CreateProcessW may write into its command line
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
        return {};
    }
    return process_handles(info);
}

bool is_dot_entry(const wchar_t* name) {
    return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0;
}

}  // namespace

bool probe_java_within(const std::wstring& home, std::uint32_t limit_ms) {
    process_handles child = start_hidden(java_probe_command_line(home));
    if (!child.process) return false;
    const DWORD wait = WaitForSingleObject(child.process.get(), limit_ms);
    child.thread.reset();
    if (wait != WAIT_OBJECT_0) {
        TerminateProcess(child.process.get(), 1);
        return false;
    }
    DWORD code = 1;
    if (!GetExitCodeProcess(child.process.get(), &code)) return false;
    return code == 0;
}

bool probe_java(const std::wstring& home) {
    return probe_java_within(home, kJavaProbeLimitMs);
}

bool run_hidden_within(const std::wstring& command_line, std::uint32_t limit_ms, std::wstring& error) {
    process_handles child = start_hidden(command_line);
    if (!child.process) {
        error = start_failed_text(command_line);
        return false;
    }
    const DWORD wait = WaitForSingleObject(child.process.get(), limit_ms);
    if (wait == WAIT_TIMEOUT) {
        // Only the process itself ends here; anything it started keeps running.
        TerminateProcess(child.process.get(), 1);
        error = time_out_text(limit_ms);
        return false;
    }
    // A code that cannot be read must not pass for success: STILL_ACTIVE (259) then stands for it.
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(child.process.get(), &code);
    if (code != 0) {
        error = exit_code_text(code);
        return false;
    }
    return true;
}

bool run_hidden(const std::wstring& command_line, std::wstring& error) {
    return run_hidden_within(command_line, kRunHiddenLimitMs, error);
}

void remove_tree(const std::wstring& dir) {
    // A link given as the tree itself is removed as a link: listing through it would empty the
    // directory it points to, which lies outside the tree.
    const DWORD own = GetFileAttributesW(dir.c_str());
    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if ((own & FILE_ATTRIBUTE_DIRECTORY) != 0) RemoveDirectoryW(dir.c_str());
        return;
    }
    WIN32_FIND_DATAW entry{};
    find_handle listing{FindFirstFileW((dir + L"\\*").c_str(), &entry)};
    if (!listing) return;
    do {
        if (is_dot_entry(entry.cFileName)) continue;
        const std::wstring child = dir + L"\\" + entry.cFileName;
        const bool is_link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // A junction or directory symbolic link goes by RemoveDirectoryW on the link alone; what
            // it points to is never entered.
            if (!is_link) remove_tree(child);
            RemoveDirectoryW(child.c_str());
        } else {
            // Attributes set through a file link could land on its target outside the tree; the link
            // itself is simply deleted.
            if (!is_link) SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(child.c_str());
        }
    } while (FindNextFileW(listing.get(), &entry));
    listing.reset();  // the directory cannot go while our listing keeps it open
    RemoveDirectoryW(dir.c_str());
}
