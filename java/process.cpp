// The Java probe, the hidden process runner and tree removal.
#include <cwchar>
#include <optional>
#include <utility>
#include <vector>

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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What remove_tree knows about an object it opened itself: identity, attributes and reparse tag, all
// read through the handle, so they describe what was opened and not what the path names later.
struct opened_object {
    kernel_handle handle;
    DWORD volume = 0;
    ULONGLONG id = 0;
    DWORD attributes = 0;
    DWORD tag = 0;
    bool is_directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // Only a reparse point whose tag names another place (a junction, a symbolic link) is a link; a
    // cloud placeholder or a deduplicated file is entered and deleted like any file or folder. A
    // tag of 0 on a reparse point (unreadable) counts as a link: not entering is the safe side.
    bool is_link() const { return is_link_entry((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, tag); }
};

// Opens `path` itself, never what a link there points to; empty when it cannot be opened or read.
std::optional<opened_object> open_not_following(const std::wstring& path, DWORD access) {
    opened_object object;
    object.handle.reset(CreateFileW(path.c_str(), access | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!object.handle) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandle(object.handle.get(), &info) ||
        !GetFileInformationByHandleEx(object.handle.get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        return std::nullopt;
    }
    object.volume = info.dwVolumeSerialNumber;
    object.id = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    object.attributes = tag.FileAttributes;
    object.tag = tag.ReparseTag;
    return object;
}

// Clears read-only (and hidden, system) through the handle, then marks the object for deletion; it
// goes when its last handle closes. A folder that is not empty refuses and stays.
void delete_opened(const opened_object& object) {
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(object.handle.get(), FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
        // Zero times and attributes mean "leave unchanged"; the normal attribute stands for "none".
        FILE_BASIC_INFO change{};
        const DWORD kept = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY |
                                                                       FILE_ATTRIBUTE_HIDDEN |
                                                                       FILE_ATTRIBUTE_SYSTEM);
        change.FileAttributes = kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept;
        SetFileInformationByHandle(object.handle.get(), FileBasicInfo, &change, sizeof change);
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(object.handle.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

struct listed_entry {
    std::wstring name;
    ULONGLONG id = 0;
    bool directory = false;
    bool link = false;  // the listing's own word (attributes, and the tag kept in EaSize)
};

// Every entry of an open folder except "." and "..", read through its handle. Stops quietly at the
// first failure: what is not listed is not removed.
std::vector<listed_entry> list_opened(HANDLE folder) {
    std::vector<listed_entry> entries;
    // DWORD-aligned, as the records inside are; large enough for many entries per call.
    std::vector<DWORD> buffer(16384);
    for (;;) {
        if (!GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
            break;  // ERROR_NO_MORE_FILES at the end, or a failure: either way the listing ends
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* record = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
            // FileNameLength is in bytes, without a terminating NUL.
            std::wstring name(record->FileName, record->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                // For a reparse point the listing keeps its tag where the extended attributes' size goes.
                entries.push_back({std::move(name), static_cast<ULONGLONG>(record->FileId.QuadPart),
                                   (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                   is_link_entry((record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                                                 record->EaSize)});
            }
            if (record->NextEntryOffset == 0) break;
            bytes += record->NextEntryOffset;
        }
    }
    return entries;
}

// One folder being emptied: its own open handle, its listing and how far the work has come.
struct tree_frame {
    opened_object folder;
    std::wstring path;
    std::vector<listed_entry> entries;
    std::size_t next = 0;
};

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

void (*g_remove_tree_listed)(const std::wstring& folder) = nullptr;

namespace {

// Removes a link by its name: the last element of a path is never followed by these calls.
void remove_link_by_name(const std::wstring& path, bool directory) {
    if (directory) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

}  // namespace

void remove_tree(const std::wstring& dir) {
    // Wine opens what a Unix symbolic link points to even when asked for the link itself, and its
    // handle then shows no reparse point; only path attributes and listings show the link there. So
    // the path's own word counts as well: a link given as the tree itself goes by its name.
    const DWORD own = GetFileAttributesW(dir.c_str());
    if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        WIN32_FIND_DATAW self{};
        const find_handle lookup{FindFirstFileW(dir.c_str(), &self)};
        // A tag that cannot be read counts as a link: not entering is the safe side.
        if (!lookup || is_link_entry(true, self.dwReserved0)) {
            if ((own & FILE_ATTRIBUTE_DIRECTORY) != 0) remove_link_by_name(dir, true);
            return;
        }
    }
    std::optional<opened_object> root = open_not_following(dir, FILE_LIST_DIRECTORY | SYNCHRONIZE);
    if (!root || !root->is_directory()) return;
    if (root->is_link()) {
        // A link given as the tree itself goes as a link: what it points to lies outside the tree.
        delete_opened(*root);
        return;
    }
    // An explicit stack rather than recursion: a deep tree costs heap, not the thread's stack.
    std::vector<tree_frame> stack;
    stack.push_back({std::move(*root), dir, {}, 0});
    stack.back().entries = list_opened(stack.back().folder.handle.get());
    if (g_remove_tree_listed != nullptr) g_remove_tree_listed(dir);
    while (!stack.empty()) {
        tree_frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            delete_opened(frame.folder);
            stack.pop_back();  // closing the handle carries out the deletion before the parent's own
            continue;
        }
        const listed_entry& entry = frame.entries[frame.next++];
        const std::wstring child_path = frame.path + L"\\" + entry.name;
        // There is no opening relative to a handle here, so the child is opened by path and then
        // checked to be the very object the listing named, on the same volume: a folder on the way
        // swapped for a link since the listing leads elsewhere and fails this check.
        std::optional<opened_object> child =
            open_not_following(child_path, entry.directory ? FILE_LIST_DIRECTORY | SYNCHRONIZE : 0);
        if (!child || child->volume != frame.folder.volume || child->id != entry.id) continue;
        if (child->is_directory() && !child->is_link() && !entry.link) {
            tree_frame next{std::move(*child), child_path, {}, 0};
            next.entries = list_opened(next.folder.handle.get());
            stack.push_back(std::move(next));  // `frame` and `entry` are not used past this point
            if (g_remove_tree_listed != nullptr) g_remove_tree_listed(child_path);
            continue;
        }
        if (entry.link && !child->is_link()) {
            // Listed as a link, yet the handle shows none: the platform opened what it points to
            // (Wine does). Nothing through this handle; the name goes by itself.
            const bool directory = entry.directory;
            child.reset();
            remove_link_by_name(child_path, directory);
            continue;
        }
        // A file, or a link of either kind: the handle is the object itself, never a link's target.
        delete_opened(*child);
    }
}
