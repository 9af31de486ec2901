// Helpers for the client start and update record tests: a temporary launcher directory that the
// shell's globals point at for the test's lifetime, and whole-file reads and writes.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "shell/shell.h"

namespace client_test {

// A fresh folder below %TEMP% (the name may hold spaces and other letters), removed with
// everything in it at the end. The shell's launcher directory is that folder meanwhile.
class launcher_folder {
public:
    explicit launcher_folder(const std::wstring& name_part = L"qm client") {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        std::wstring base(temp);
        while (!base.empty() && base.back() == L'\\') base.pop_back();
        for (unsigned n = GetCurrentProcessId() * 131u + GetTickCount();; ++n) {
            path_ = base + L"\\" + name_part + L" " + std::to_wstring(n);
            if (CreateDirectoryW(path_.c_str(), nullptr)) break;
        }
        reset_launcher_dir_for_tests();
        resolve_launcher_dir({path_}, path_ + L"\\probe.log");
    }
    ~launcher_folder() {
        reset_launcher_dir_for_tests();
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(path_), ignored);
    }
    launcher_folder(const launcher_folder&) = delete;
    launcher_folder& operator=(const launcher_folder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

inline bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string read_bytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The launcher log as UTF-16, without its byte order mark and time stamps kept.
inline std::wstring launcher_log(const launcher_folder& folder) {
    std::string bytes = read_bytes(folder.file(L"launcher.log"));
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    return from_utf8(bytes);
}

}  // namespace client_test

namespace client_test {

// The Windows form of a directory the build handed over in an environment variable (a Linux path).
inline std::wstring env_dir(const wchar_t* name) {
    wchar_t buffer[4096] = {};
    const DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    if (n == 0 || n >= 4096) return {};
    std::wstring dir(buffer);
    if (!dir.empty() && dir[0] == L'/') dir = L"Z:" + dir;
    for (wchar_t& c : dir) {
        if (c == L'/') c = L'\\';
    }
    return dir;
}

// The built java.exe test double, or empty when the build folder is unknown.
inline std::wstring java_double_exe() {
    const std::wstring bin = env_dir(L"QUILLMARSH_TEST_BIN");
    return bin.empty() ? bin : bin + L"\\doubles\\java\\java.exe";
}

// Makes `home`\bin\java.exe from the double, with `ini` as its java_double.ini.
inline bool make_java_home(const std::wstring& home, const std::string& ini) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(home + L"\\bin"), ec);
    if (!CopyFileW(java_double_exe().c_str(), (home + L"\\bin\\java.exe").c_str(), FALSE)) return false;
    write_bytes(home + L"\\bin\\java_double.ini", ini);
    return true;
}

// One start recorded by the double.
struct java_start {
    std::string mode;
    DWORD pid = 0;
    std::string cmdline;
    std::string cwd;
    std::vector<std::string> env;
};

inline std::vector<java_start> java_starts(const std::wstring& home) {
    std::vector<java_start> out;
    const std::string log = read_bytes(home + L"\\bin\\java_double.log");
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
    }
    return out;
}

// Ends the doubles of `home` that a test made keep running. A recorded pid may have been reused by
// now, so only a process whose image is that very java.exe is ended.
inline void end_recorded_processes(const std::wstring& home) {
    const std::wstring image = home + L"\\bin\\java.exe";
    for (const java_start& s : java_starts(home)) {
        HANDLE process =
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, s.pid);
        if (process == nullptr) continue;
        wchar_t name[4096] = {};
        DWORD size = 4096;
        if (QueryFullProcessImageNameW(process, 0, name, &size) && lstrcmpiW(name, image.c_str()) == 0) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
        CloseHandle(process);
    }
}

}  // namespace client_test
