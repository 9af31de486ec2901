// The Java probe, the hidden process runner and tree removal.
#include <cwchar>
#include <utility>

#include "base/handle.h"
#include "java/java_internal.h"

kernel_handle g_system_program_job;

namespace {

// Starts the command line without a window, inheriting nothing. `application` is the program's full
// path; with nullptr the program is the command line's first token (the Java runtimes are always
// given quoted and in full). `extra_flags` are added to CREATE_NO_WINDOW. Empty handles when it cannot
// be started.
process_handles start_hidden(const wchar_t* application, const std::wstring& command_line, DWORD extra_flags = 0) {
    std::wstring writable = command_line;  // CreateProcessW may write into its command line
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | extra_flags,
                        nullptr, nullptr, &startup, &info)) {
        return {};
    }
    return process_handles(info);
}

// The job of the system programs, made once; empty when the system cannot make one.
HANDLE system_program_job() {
    if (!g_system_program_job) {
        // No security attributes: the handle is not inheritable, so no child keeps the job alive.
        kernel_handle job{CreateJobObjectW(nullptr, nullptr)};
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (job && SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            g_system_program_job = std::move(job);
        }
    }
    return g_system_program_job.get();
}

// Starts a system program suspended, puts it into the job before it runs a single instruction (so
// anything it starts is in the job too) and lets it go. A program that cannot join (a system that
// does not nest jobs, with the shell itself in one) runs without the job, as the unpackers always did.
process_handles start_in_job(const std::wstring& application, const std::wstring& command_line) {
    process_handles child = start_hidden(application.c_str(), command_line, CREATE_SUSPENDED);
    if (!child.process) return child;
    const HANDLE job = system_program_job();
    if (job != nullptr) AssignProcessToJobObject(job, child.process.get());
    ResumeThread(child.thread.get());
    return child;
}

// GetSystemDirectoryW; empty when it fails.
std::wstring system_directory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const UINT n = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {  // the count without the NUL: it fitted
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(n);  // the size needed, the NUL included
    }
}

bool run_started(process_handles child, const std::wstring& command_line, std::uint32_t limit_ms,
                 std::wstring& error) {
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

// Only a reparse point whose tag names another place (a junction, a symbolic link) is a link; a cloud
// placeholder or a deduplicated file is entered and deleted like any file or folder. Listings carry
// the tag in dwReserved0 when the entry is a reparse point.
bool is_link(const WIN32_FIND_DATAW& entry) {
    return is_link_entry((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, entry.dwReserved0);
}

bool is_dot_entry(const wchar_t* name) {
    return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0;
}

}  // namespace

bool probe_java_within(const std::wstring& home, std::uint32_t limit_ms) {
    process_handles child = start_hidden(nullptr, java_probe_command_line(home));
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
    return run_started(start_hidden(nullptr, command_line), command_line, limit_ms, error);
}

bool run_hidden(const std::wstring& command_line, std::wstring& error) {
    return run_hidden_within(command_line, kRunHiddenLimitMs, error);
}

bool run_system_program(const std::wstring& system_program, const std::wstring& command_line,
                        std::wstring& error) {
    const std::wstring folder = system_directory();
    process_handles child;
    if (!folder.empty()) child = start_in_job(folder + system_program, command_line);
    return run_started(std::move(child), command_line, kRunHiddenLimitMs, error);
}

void remove_tree(const std::wstring& dir) {
    // A link given as the tree itself is removed as a link: listing through it would empty the
    // directory it points to, which lies outside the tree.
    const DWORD own = GetFileAttributesW(dir.c_str());
    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        WIN32_FIND_DATAW self{};
        const find_handle lookup{FindFirstFileW(dir.c_str(), &self)};
        // A tag that cannot be read counts as a link: not entering is the safe side.
        if (!lookup || is_link(self)) {
            if ((own & FILE_ATTRIBUTE_DIRECTORY) != 0) RemoveDirectoryW(dir.c_str());
            return;
        }
    }
    WIN32_FIND_DATAW entry{};
    find_handle listing{FindFirstFileW((dir + L"\\*").c_str(), &entry)};
    if (!listing) return;
    do {
        if (is_dot_entry(entry.cFileName)) continue;
        const std::wstring child = dir + L"\\" + entry.cFileName;
        const bool link = is_link(entry);
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // A junction or directory symbolic link goes by RemoveDirectoryW on the link alone; what
            // it points to is never entered.
            if (!link) remove_tree(child);
            RemoveDirectoryW(child.c_str());
        } else {
            // Attributes set through a file link could land on its target outside the tree; the link
            // itself is simply deleted.
            if (!link) SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(child.c_str());
        }
    } while (FindNextFileW(listing.get(), &entry));
    listing.reset();  // the directory cannot go while our listing keeps it open
    RemoveDirectoryW(dir.c_str());
}
