// Helpers for the client start and update record tests: a temporary launcher directory with the
// launcher log named in it, and the java.exe double's homes and records.
#pragma once

#include <string>
#include <vector>

#include "base/handle.h"
#include "base/log.h"
#include "base/text.h"
#include "tests/support/support.h"

namespace client_test {

// A fresh folder below %TEMP% (the name holds a blank), removed with everything in it at the end.
// The launcher log goes to its launcher.log meanwhile.
struct launcher_folder : support::temp_dir {
    explicit launcher_folder(const std::wstring& tag = L"qm client") : temp_dir(tag) {
        set_log_file(file(L"launcher.log"));
    }
    ~launcher_folder() { set_log_file(L""); }
};

// The launcher log as UTF-16, without its byte order mark and time stamps kept.
inline std::wstring launcher_log(const launcher_folder& folder) {
    std::string bytes = support::read_bytes(folder.file(L"launcher.log"));
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    return from_utf8(bytes);
}

// The built java.exe test double, or empty when the build folder is unknown.
inline std::wstring java_double_exe() {
    const std::wstring bin = support::test_bin();
    return bin.empty() ? bin : bin + L"\\doubles\\java\\java.exe";
}

// Makes `home`\bin\java.exe from the double, with `ini` as its java_double.ini.
inline bool make_java_home(const std::wstring& home, const std::string& ini) {
    support::make_dirs(home + L"\\bin");
    if (!CopyFileW(java_double_exe().c_str(), (home + L"\\bin\\java.exe").c_str(), FALSE)) return false;
    return support::write_file(home + L"\\bin\\java_double.ini", ini);
}

// One start recorded by the double.
struct java_start {
    std::string mode;
    DWORD pid = 0;
    std::string cmdline;
    std::string cwd;
    std::vector<std::string> env;
    std::vector<std::string> handles;  // "stdout=<file id>" and "handle=<N> <file id>" lines, as written
};

inline std::vector<java_start> java_starts(const std::wstring& home) {
    std::vector<java_start> out;
    const std::string log = support::read_bytes(home + L"\\bin\\java_double.log");
    std::size_t pos = 0;
    while (pos < log.size()) {
        std::size_t end = log.find('\n', pos);
        if (end == std::string::npos) end = log.size();
        const std::string line = log.substr(pos, end - pos);
        pos = end + 1;
        if (line == "[start]") out.emplace_back();
        if (out.empty()) continue;
        java_start& s = out.back();
        if (line.rfind("mode=", 0) == 0) s.mode = line.substr(5);
        if (line.rfind("pid=", 0) == 0) s.pid = static_cast<DWORD>(std::stoul(line.substr(4)));
        if (line.rfind("cmdline=", 0) == 0) s.cmdline = line.substr(8);
        if (line.rfind("cwd=", 0) == 0) s.cwd = line.substr(4);
        if (line.rfind("env=", 0) == 0) s.env.push_back(line.substr(4));
        if (line.rfind("stdout=", 0) == 0 || line.rfind("handle=", 0) == 0) s.handles.push_back(line);
    }
    return out;
}

// Ends the doubles of `home` that a test made keep running. A recorded pid may have been reused by
// now, so only a process whose image is that very java.exe is ended.
inline void end_recorded_processes(const std::wstring& home) {
    const std::wstring image = home + L"\\bin\\java.exe";
    for (const java_start& s : java_starts(home)) {
        const kernel_handle process{
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, s.pid)};
        if (!process) continue;
        wchar_t name[4096] = {};
        DWORD size = 4096;
        if (QueryFullProcessImageNameW(process.get(), 0, name, &size) && lstrcmpiW(name, image.c_str()) == 0) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
    }
}

}  // namespace client_test
