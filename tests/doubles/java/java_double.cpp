// Stand-in for a Java runtime's java.exe in the tests (no Java inside; Win32 only).
//
// Usage: copy <build>\doubles\java\java.exe to <home>\bin\java.exe. Beside the copy:
//
//   java_double.ini  (optional, UTF-8, one "key=value" a line, '#' starts a comment line) says what the
//   program does. The command line selects a mode: "version" when an argument is exactly "-version",
//   else "jar" when an argument is exactly "-jar", else "other". Keys, each prefixed by the mode:
//     <mode>.exit=N       exit code, decimal 0..4294967295                       (default 0)
//     <mode>.delay_ms=N   wait before writing any output                          (default 0)
//     <mode>.stdout=TEXT  written to standard output; "\n", "\r", "\t", "\\" are escapes  (default empty)
//     <mode>.stderr=TEXT  written to standard error   (default for "version": a Java 17 banner)
//     <mode>.alive_ms=N   stay alive N ms after the output, then exit; -1 = until killed  (default 0)
//     <mode>.handles=N,N  handle values (decimal) to look up in this process: each adds a line to the
//                         start record saying which file, if any, that value stands for here
//   e.g.  version.exit=1            a runtime that fails the probe
//         version.alive_ms=-1       a runtime that hangs on -version
//         jar.stdout=started\n      jar.alive_ms=-1     a client that keeps running
//         jar.exit=3                jar.stderr=Error: boom\n   a client that dies at once
//
//   java_double.log  gets one record appended per start (one write, before any delay, so a test that
//   kills the process still finds it), UTF-8:
//     [start]
//     mode=version|jar|other
//     pid=<the process id, decimal>
//     cmdline=<the full command line>
//     cwd=<the current directory>
//     env=NAME=VALUE        one line per environment variable, in the environment block's order
//     stdout=<file id>      the file behind standard output: "<volume>:<index>" in hex, or "none"
//     handle=<N> <file id>  for each value of <mode>.handles, the same for that value
//     [end]
//
// Without the ini file every mode exits at once with code 0 (and "version" prints its banner).
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/doubles/double.h"

namespace {

using doubles::own_directory;
using doubles::read_file;
using doubles::to_utf8;
using doubles::write_to;

void append_file(const std::wstring& path, const std::string& bytes) {
    doubles::write_all(path, bytes, true);
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char next = text[++i];
        if (next == 'n') out.push_back('\n');
        else if (next == 'r') out.push_back('\r');
        else if (next == 't') out.push_back('\t');
        else out.push_back(next);
    }
    return out;
}

// The value of "<mode>.<key>" in the ini text, or nothing.
bool lookup(const std::string& ini, const std::string& name, std::string& value) {
    std::size_t pos = 0;
    bool found = false;
    while (pos < ini.size()) {
        std::size_t end = ini.find('\n', pos);
        if (end == std::string::npos) end = ini.size();
        std::string line = ini.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos || line.substr(0, eq) != name) continue;
        value = line.substr(eq + 1);
        found = true;  // the last line for a key wins
    }
    return found;
}

long long number_or(const std::string& ini, const std::string& name, long long fallback) {
    std::string text;
    if (!lookup(ini, name, text) || text.empty()) return fallback;
    try {
        return std::stoll(text);
    } catch (...) {
        return fallback;
    }
}

std::string environment_lines() {
    std::string out;
    wchar_t* block = GetEnvironmentStringsW();
    if (block == nullptr) return out;
    for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
        out += "env=" + to_utf8(p) + "\n";
    }
    FreeEnvironmentStringsW(block);
    return out;
}

std::wstring current_directory() {
    std::wstring buffer(32768, L'\0');
    const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    buffer.resize(n < buffer.size() ? n : 0);
    return buffer;
}

// "<volume>:<index>" of the file behind a handle value, or "none" when the value is no file here.
std::string file_id(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) {
        return "none";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%08lx:%08lx%08lx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh), static_cast<unsigned long>(info.nFileIndexLow));
    return text;
}

std::string handle_lines(const std::string& values) {
    std::string out = "stdout=" + file_id(GetStdHandle(STD_OUTPUT_HANDLE)) + "\n";
    std::size_t pos = 0;
    while (pos < values.size()) {
        std::size_t end = values.find(',', pos);
        if (end == std::string::npos) end = values.size();
        const std::string value = values.substr(pos, end - pos);
        pos = end + 1;
        if (value.empty()) continue;
        const auto number = static_cast<std::uintptr_t>(std::stoull(value));
        out += "handle=" + value + " " + file_id(reinterpret_cast<HANDLE>(number)) + "\n";
    }
    return out;
}

}  // namespace

int wmain() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string mode = "other";
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        if (std::wstring(argv[i]) == L"-version") {
            mode = "version";
            break;
        }
        if (std::wstring(argv[i]) == L"-jar") {
            mode = "jar";
            break;
        }
    }
    if (argv != nullptr) LocalFree(argv);

    const std::wstring dir = own_directory();
    const std::string ini = read_file(dir + L"\\java_double.ini");
    std::string handles;
    const bool report_handles = lookup(ini, mode + ".handles", handles);
    const std::string record = "[start]\nmode=" + mode + "\npid=" + std::to_string(GetCurrentProcessId()) +
                               "\ncmdline=" + to_utf8(GetCommandLineW()) +
                               "\ncwd=" + to_utf8(current_directory()) + "\n" + environment_lines() +
                               (report_handles ? handle_lines(handles) : std::string{}) + "[end]\n";
    append_file(dir + L"\\java_double.log", record);

    const long long delay = number_or(ini, mode + ".delay_ms", 0);
    if (delay > 0) Sleep(static_cast<DWORD>(delay));

    std::string text;
    if (lookup(ini, mode + ".stdout", text)) write_to(STD_OUTPUT_HANDLE, unescape(text));
    if (lookup(ini, mode + ".stderr", text)) {
        write_to(STD_ERROR_HANDLE, unescape(text));
    } else if (mode == "version") {
        write_to(STD_ERROR_HANDLE,
                 "openjdk version \"17.0.2\" 2022-01-18\nOpenJDK Runtime Environment (build 17.0.2+8-86)\n"
                 "OpenJDK 64-Bit Server VM (build 17.0.2+8-86, mixed mode, sharing)\n");
    }

    const long long alive = number_or(ini, mode + ".alive_ms", 0);
    if (alive < 0) Sleep(INFINITE);
    if (alive > 0) Sleep(static_cast<DWORD>(alive));
    const long long code = number_or(ini, mode + ".exit", 0);
    return static_cast<int>(static_cast<std::uint32_t>(code));
}
