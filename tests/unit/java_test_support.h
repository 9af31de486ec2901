// Helpers of the Java runtime tests: private temporary folders, environment and launcher-directory
// guards, copies of the java.exe / tar.exe / powershell.exe doubles, and a stored-zip writer for the
// archives the provisioning tests serve.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shell/shell.h"

namespace java_test {

inline std::string narrow(const std::wstring& text) {
    return to_utf8(text);
}

inline bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool is_directory(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates every missing directory of an absolute path.
inline void make_dirs(const std::wstring& path) {
    for (std::size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

inline bool write_file(const std::wstring& path, const std::string& bytes) {
    const std::size_t cut = path.rfind(L'\\');
    if (cut != std::wstring::npos) make_dirs(path.substr(0, cut));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

inline std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string out;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) out.append(chunk, got);
    CloseHandle(file);
    return out;
}

// Cleanup of the tests' own folders, independent of the code under test. Links are not entered.
inline void wipe(const std::wstring& dir) {
    WIN32_FIND_DATAW entry{};
    HANDLE listing = FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = dir + L"\\" + name;
            const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                if (!link) wipe(child);
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                RemoveDirectoryW(child.c_str());
            } else {
                if (!link) SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(listing, &entry));
        FindClose(listing);
    }
    SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(dir.c_str());
}

// A fresh folder below the temporary directory, removed with everything in it at the end.
struct temp_dir {
    std::wstring path;
    explicit temp_dir(const std::wstring& tag = L"java") {
        static int counter = 0;
        wchar_t base[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, base);
        path = std::wstring(base) + L"qm_" + tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
               std::to_wstring(++counter);
        wipe(path);
        make_dirs(path);
    }
    ~temp_dir() { wipe(path); }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
};

// Sets (or, with nullptr, removes) one environment variable and restores the old state at the end.
struct env_guard {
    std::wstring name;
    std::optional<std::wstring> old;
    env_guard(const wchar_t* variable, const wchar_t* value) : name(variable) {
        std::wstring buffer(32768, L'\0');
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(variable, buffer.data(), 32768);
        if (n > 0 && n < 32768) {
            buffer.resize(n);
            old = buffer;
        } else if (n == 0 && GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
            old = std::wstring();
        }
        SetEnvironmentVariableW(variable, value);
    }
    env_guard(const wchar_t* variable, const std::wstring& value) : env_guard(variable, value.c_str()) {}
    ~env_guard() { SetEnvironmentVariableW(name.c_str(), old ? old->c_str() : nullptr); }
    env_guard(const env_guard&) = delete;
    env_guard& operator=(const env_guard&) = delete;
};

// Points launcher_dir() at `dir` for the test's lifetime.
struct launcher_dir_guard {
    explicit launcher_dir_guard(const std::wstring& dir, const std::wstring& probe_log) {
        reset_launcher_dir_for_tests();
        make_dirs(dir);
        resolve_launcher_dir({dir}, probe_log);
    }
    ~launcher_dir_guard() { reset_launcher_dir_for_tests(); }
    launcher_dir_guard(const launcher_dir_guard&) = delete;
    launcher_dir_guard& operator=(const launcher_dir_guard&) = delete;
};

// <build>\doubles\<name>\<name>.exe, next to <build>\tests\unit_tests.exe.
inline std::wstring double_path(const std::wstring& name) {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), 32768));
    std::wstring dir = buffer.substr(0, buffer.rfind(L'\\'));  // <build>\tests
    dir = dir.substr(0, dir.rfind(L'\\'));                     // <build>
    return dir + L"\\doubles\\" + name + L"\\" + name + L".exe";
}

inline std::string double_bytes(const std::wstring& name) {
    return read_file(double_path(name));
}

// A Java home holding an empty bin\java.exe: enough for discovery, which never runs it.
inline void make_fake_home(const std::wstring& home) {
    write_file(home + L"\\bin\\java.exe", "");
}

// A Java home holding the java.exe double and, when not empty, its java_double.ini.
inline void make_double_home(const std::wstring& home, const std::string& ini = {}) {
    make_dirs(home + L"\\bin");
    CopyFileW(double_path(L"java").c_str(), (home + L"\\bin\\java.exe").c_str(), FALSE);
    if (!ini.empty()) write_file(home + L"\\bin\\java_double.ini", ini);
}

// One record of the java.exe double's log: "mode", "pid", "cmdline", "cwd" and every "env=" line.
struct java_start {
    std::map<std::string, std::string> fields;
    std::vector<std::string> env;
};

inline std::vector<java_start> java_starts(const std::wstring& home) {
    const std::string text = read_file(home + L"\\bin\\java_double.log");
    std::vector<java_start> starts;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line == "[start]") {
            starts.emplace_back();
        } else if (!starts.empty() && line != "[end]") {
            const std::size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            if (line.compare(0, eq, "env") == 0) {
                starts.back().env.push_back(line.substr(eq + 1));
            } else {
                starts.back().fields[line.substr(0, eq)] = line.substr(eq + 1);
            }
        }
    }
    return starts;
}

// True when the process with this id, started from `image`, no longer runs (gone, or ended; `code`
// gets its exit code when it is still known). A process that reused the id runs another image and
// does not count.
inline bool process_ended(DWORD pid, const std::wstring& image, DWORD* code = nullptr) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return true;
    std::wstring name(32768, L'\0');
    DWORD size = static_cast<DWORD>(name.size());
    if (QueryFullProcessImageNameW(process, 0, name.data(), &size)) {
        name.resize(size);
        if (CompareStringOrdinal(name.c_str(), -1, image.c_str(), -1, TRUE) != CSTR_EQUAL) {
            CloseHandle(process);
            return true;
        }
    }
    const bool ended = WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    if (ended && code != nullptr) GetExitCodeProcess(process, code);
    CloseHandle(process);
    if (!ended) {
        // Not left behind for the rest of the run: a stray double holds the test's output pipe open.
        HANDLE stray = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (stray != nullptr) {
            TerminateProcess(stray, 99);
            CloseHandle(stray);
        }
    }
    return ended;
}

// ---- zip writer (stored entries) -----------------------------------------------------------------

inline std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

inline void put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

inline void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A zip of stored entries; a name ending in '/' is a directory entry.
inline std::string make_zip(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string out;
    std::string central;
    for (const auto& [name, data] : entries) {
        const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
        const std::uint32_t crc = crc32(data);
        const auto size = static_cast<std::uint32_t>(data.size());
        put32(out, 0x04034b50u);
        put16(out, 20);
        put16(out, 0x0800);  // names are UTF-8
        put16(out, 0);       // stored
        put16(out, 0);
        put16(out, 0x21);
        put32(out, crc);
        put32(out, size);
        put32(out, size);
        put16(out, static_cast<std::uint32_t>(name.size()));
        put16(out, 0);
        out += name;
        out += data;

        put32(central, 0x02014b50u);
        put16(central, 20);
        put16(central, 20);
        put16(central, 0x0800);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0x21);
        put32(central, crc);
        put32(central, size);
        put32(central, size);
        put16(central, static_cast<std::uint32_t>(name.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, name.back() == '/' ? 0x10u : 0x20u);
        put32(central, offset);
        central += name;
    }
    const auto central_offset = static_cast<std::uint32_t>(out.size());
    out += central;
    put32(out, 0x06054b50u);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put16(out, static_cast<std::uint32_t>(entries.size()));
    put32(out, static_cast<std::uint32_t>(central.size()));
    put32(out, central_offset);
    put16(out, 0);
    return out;
}

// ---- SHA-256 through the platform's own provider (the oracle for version keys) -------------------

inline std::wstring platform_sha256_hex(const std::string& bytes) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32] = {};
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return {};
    BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), static_cast<ULONG>(bytes.size()),
                   0);
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    static const wchar_t hex[] = L"0123456789abcdef";
    std::wstring out;
    for (unsigned char b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

}  // namespace java_test
