// Command-line front for the main job: starts a program (the shell) with this process's environment,
// prints every message box it shows (title and text), answers each with OK, and exits with the
// program's exit code. Usage: launch_and_watch.exe [--limit-seconds N] PROGRAM [ARGS...]
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "base/handle.h"

namespace {

struct box_search {
    DWORD pid = 0;
    std::vector<HWND> boxes;
};

BOOL CALLBACK collect_boxes(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<box_search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (pid == search->pid && std::wstring(cls) == L"#32770" && IsWindowVisible(window)) {
        search->boxes.push_back(window);
    }
    return TRUE;
}

void print_utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int first = 1;
    DWORD limit_ms = 300000 + 30000;
    if (argc > 2 && std::wstring(argv[1]) == L"--limit-seconds") {
        limit_ms = static_cast<DWORD>(_wtoi(argv[2])) * 1000;
        first = 3;
    }
    if (first >= argc) {
        print_utf8(L"usage: launch_and_watch.exe [--limit-seconds N] PROGRAM [ARGS...]\n");
        return 2;
    }
    std::wstring command;
    for (int i = first; i < argc; ++i) {
        if (!command.empty()) command += L' ';
        const std::wstring arg = argv[i];
        const bool quote = arg.empty() || arg.find_first_of(L" \t") != std::wstring::npos;
        if (quote) command += L'"';
        command += arg;
        if (quote) command += L'"';
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        print_utf8(L"cannot start: " + command + L"\n");
        return 2;
    }
    const process_handles child(pi);
    std::set<HWND> answered;
    const ULONGLONG start = GetTickCount64();
    while (WaitForSingleObject(child.process.get(), 200) == WAIT_TIMEOUT) {
        box_search search;
        search.pid = pi.dwProcessId;
        EnumWindows(collect_boxes, reinterpret_cast<LPARAM>(&search));
        for (HWND box : search.boxes) {
            if (answered.count(box) != 0) continue;
            wchar_t title[256] = {};
            GetWindowTextW(box, title, 256);
            std::wstring text(4096, L'\0');
            const UINT n = GetDlgItemTextW(box, 0xFFFF, text.data(), static_cast<int>(text.size()));
            text.resize(n);
            print_utf8(L"[message box] " + std::wstring(title) + L"\n" + text + L"\n[/message box]\n");
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            answered.insert(box);
        }
        if (GetTickCount64() - start > limit_ms) {
            print_utf8(L"time limit reached: ending the program\n");
            TerminateProcess(child.process.get(), 124);
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(child.process.get(), &code);
    print_utf8(L"exit code " + std::to_wstring(code) + L"\n");
    return static_cast<int>(code);
}
