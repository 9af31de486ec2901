// Helpers for the client start and update record tests: a temporary launcher directory that the
// shell's globals point at for the test's lifetime, and whole-file reads and writes.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

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
