// Starting the launcher jar and watching it through its first moments.
#include "client/client.h"

#include <vector>

#include "base/log.h"
#include "base/system.h"
#include "base/text.h"

namespace {

// An attribute list for CreateProcessW that lets the child inherit only `handles` (each of them
// inheritable). The list points into `handles`, which must outlive it.
struct inherit_list {
    std::vector<unsigned char> buffer;  // the opaque list; its size comes from the system
    bool ready = false;
    LPPROC_THREAD_ATTRIBUTE_LIST get() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer.data()); }
    ~inherit_list() {
        if (ready) DeleteProcThreadAttributeList(get());
    }
};

// Builds the list; false with the last error set when the system refuses it.
bool make_inherit_list(inherit_list& list, std::vector<HANDLE>& handles) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // fails by design: reports the size needed
    if (size == 0) return false;
    list.buffer.resize(size);
    if (!InitializeProcThreadAttributeList(list.get(), 1, 0, &size)) return false;
    list.ready = true;
    return UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                     handles.size() * sizeof(HANDLE), nullptr, nullptr) != FALSE;
}

}  // namespace

kernel_handle start_client_process(const std::wstring& java_home, const std::wstring& jar_path,
                                   const std::wstring& console_log_path, const std::wstring& working_dir,
                                   std::wstring& error) {
    const std::wstring executable = client_executable_path(java_home);
    std::wstring command_line = client_command_line(java_home, jar_path);  // CreateProcessW may write into it

    // Inheritable, so the child writes its output straight into the file; the shell never reads it live.
    // Opened as a plain file of its own: a link planted at its name is replaced, never written through.
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    bool created = false;
    DWORD log_code = 0;
    kernel_handle log = open_plain_file(console_log_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, true,
                                        &inherit, created, log_code);
    // A log held by someone else is no reason not to start: the output then goes wherever ours goes
    // (for a windowed shell usually nowhere). The child gets an inheritable copy of that handle.
    kernel_handle own_output;
    if (!log) {
        const HANDLE ours = GetStdHandle(STD_OUTPUT_HANDLE);
        if (ours != nullptr && ours != INVALID_HANDLE_VALUE) {
            DuplicateHandle(GetCurrentProcess(), ours, GetCurrentProcess(), own_output.put(), 0, TRUE,
                            DUPLICATE_SAME_ACCESS);
        }
    }
    const HANDLE output = log ? log.get() : own_output.get();

    // Only the output handle reaches the child; any other inheritable handle of the shell stays here.
    std::vector<HANDLE> handles;
    if (output != nullptr) handles.push_back(output);
    inherit_list list;
    if (!handles.empty() && !make_inherit_list(list, handles)) {
        error = process_start_error(GetLastError(), executable);
        return {};
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = handles.empty() ? nullptr : list.get();

    PROCESS_INFORMATION info{};
    const DWORD flags = CREATE_NO_WINDOW | (handles.empty() ? 0 : EXTENDED_STARTUPINFO_PRESENT);
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, handles.empty() ? FALSE : TRUE, flags,
                        nullptr, working_dir.c_str(), &startup.StartupInfo, &info)) {
        error = process_start_error(GetLastError(), executable);
        return {};
    }
    // The child holds its own inherited copy of the log; ours is closed when `log` goes out of scope.
    process_handles child(info);
    return std::move(child.process);
}

namespace {

// The trimmed tail of the console log, or empty when it is missing, empty or unreadable.
std::wstring read_console_tail(const std::wstring& path) {
    kernel_handle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return {};
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) size.QuadPart = 0;
    if (size.QuadPart <= 0) return {};

    LARGE_INTEGER offset{};
    offset.QuadPart = static_cast<LONGLONG>(console_tail_offset(static_cast<std::uint64_t>(size.QuadPart)));
    SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);

    std::string buffer(kConsoleBufferBytes, '\0');
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(kConsoleReadBytes);
    if (!ReadFile(file.get(), buffer.data(), want, &read, nullptr) || read == 0) return {};
    // The cut at size - 6000 may split a UTF-8 sequence; the conversion turns the stray bytes into
    // a replacement character rather than failing.
    return trim_console_tail(from_utf8(console_text_bytes(std::string_view(buffer.data(), read))));
}

}  // namespace

bool start_client_and_watch(const std::wstring& launcher_dir, const std::wstring& java_home,
                            const std::wstring& jar_path, std::wstring& error, std::wstring& output) {
    output.clear();
    const std::wstring console_log = launcher_dir + L"\\java_console.log";

    kernel_handle process = start_client_process(java_home, jar_path, console_log, launcher_dir, error);
    if (!process) return false;

    if (WaitForSingleObject(process.get(), kClientGraceMs) == WAIT_TIMEOUT) {
        // Alive after the grace period: the client is on its own from here; the shell never waits for it.
        return true;
    }
    // A failed wait is taken as an ended process too: nothing better is known about it.
    DWORD exit_code = 0;
    GetExitCodeProcess(process.get(), &exit_code);
    process.reset();

    output = read_console_tail(console_log);
    error = early_exit_error(exit_code);
    return false;
}

bool try_start_client(client_start_attempt& attempt, const std::wstring& java_home) {
    if (attempt.status != nullptr) attempt.status(L"Запуск клиента...");
    std::wstring error;
    std::wstring output;
    if (start_client_and_watch(attempt.launcher_dir, java_home, attempt.jar_path, error, output)) {
        log_line(L"Клиент запущен (Java: " + java_home + L")");
        return true;
    }
    attempt.error = error;
    attempt.client_output = output;
    log_line(L"Клиент не запустился (Java: " + java_home + L"): " + error);
    if (!output.empty()) log_line(L"  Вывод клиента: " + output);
    return false;
}
