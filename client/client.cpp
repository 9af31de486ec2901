// Starting the launcher jar and watching it through its first moments.
#include "client/client.h"

#include "base/log.h"
#include "base/text.h"

kernel_handle start_client_process(const std::wstring& java_home, const std::wstring& jar_path,
                                   const std::wstring& console_log_path, const std::wstring& working_dir,
                                   std::wstring& error) {
    const std::wstring executable = client_executable_path(java_home);
    std::wstring command_line = client_command_line(java_home, jar_path);  // CreateProcessW may write into it

    // Inheritable, so the child writes its output straight into the file; the shell never reads it live.
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    kernel_handle log{CreateFileW(console_log_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    // A log held by someone else is no reason not to start: the output then goes wherever ours goes
    // (for a windowed shell usually nowhere).
    const HANDLE output = log ? log.get() : GetStdHandle(STD_OUTPUT_HANDLE);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = output;

    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        working_dir.c_str(), &startup, &info)) {
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
