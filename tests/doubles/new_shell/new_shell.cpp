// Stand-in for a newer shell exe: it carries the shell's resources at a higher version (the build adds
// shell/resources/app.rc with other version numbers) and records how it was started.
//
//   new_shell --self-test   appends "self-test|<command line>" to the record; then, by
//                           QUILLMARSH_DOUBLE_SELF_TEST: "fail" exits 1, "hang" never ends, else 0
//   new_shell <anything>    appends "start|<command line>|<working folder>|mutex free" (or "mutex held":
//                           the shell's single-instance mutex exists) to the record, signals the event
//                           QUILLMARSH_DOUBLE_DONE names, exits 0
//
// The record is the file QUILLMARSH_DOUBLE_RECORD names, one UTF-8 line per start.
#include <windows.h>

#include <string>

#include "tests/doubles/double.h"

namespace {

std::wstring env(const wchar_t* name) {
    std::wstring value(32768, L'\0');
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(n < value.size() ? n : 0);
    return value;
}

void record(const std::wstring& line) {
    const std::wstring path = env(L"QUILLMARSH_DOUBLE_RECORD");
    if (!path.empty()) doubles::write_all(path, doubles::to_utf8(line + L"\n"), true);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command_line = GetCommandLineW();
    if (argc == 2 && std::wstring(argv[1]) == L"--self-test") {
        record(L"self-test|" + command_line);
        const std::wstring mode = env(L"QUILLMARSH_DOUBLE_SELF_TEST");
        if (mode == L"fail") return 1;
        if (mode == L"hang") {
            for (;;) Sleep(INFINITE);  // ended from outside
        }
        return 0;
    }
    std::wstring folder(32768, L'\0');
    folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
    const kernel_handle mutex{OpenMutexW(SYNCHRONIZE, FALSE, L"QuillmarshLauncher.Shell.Instance")};
    record(L"start|" + command_line + L"|" + folder + (mutex ? L"|mutex held" : L"|mutex free"));
    const std::wstring done = env(L"QUILLMARSH_DOUBLE_DONE");
    if (!done.empty()) {
        const kernel_handle event{OpenEventW(EVENT_MODIFY_STATE, FALSE, done.c_str())};
        if (event) SetEvent(event.get());
    }
    return 0;
}
