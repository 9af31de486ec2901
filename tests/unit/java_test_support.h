// Helpers of the Java runtime tests: the shared test support under the names these tests use, copies
// of the java.exe / tar.exe / powershell.exe doubles, their records, and a SHA-256 oracle.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/handle.h"
#include "base/text.h"
#include "tests/support/support.h"

namespace java_test {

using support::crc32;
using support::exists;
using support::make_dirs;
using support::make_zip;
using support::narrow;
using support::temp_dir;
using support::write_file;
using env_guard = support::env_var;

inline bool is_directory(const std::wstring& path) {
    return support::dir_exists(path);
}

inline std::string read_file(const std::wstring& path) {
    return support::read_bytes(path);
}

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
    kernel_handle process{OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)};
    if (!process) return true;
    std::wstring name(32768, L'\0');
    DWORD size = static_cast<DWORD>(name.size());
    if (QueryFullProcessImageNameW(process.get(), 0, name.data(), &size)) {
        name.resize(size);
        if (CompareStringOrdinal(name.c_str(), -1, image.c_str(), -1, TRUE) != CSTR_EQUAL) return true;
    }
    const bool ended = WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
    if (ended && code != nullptr) GetExitCodeProcess(process.get(), code);
    if (!ended) {
        // Not left behind for the rest of the run: a stray double holds the test's output pipe open.
        const kernel_handle stray{OpenProcess(PROCESS_TERMINATE, FALSE, pid)};
        if (stray) TerminateProcess(stray.get(), 99);
    }
    return ended;
}

// ---- SHA-256 through the platform's own provider (the oracle for version keys) -------------------

inline std::wstring platform_sha256_hex(const std::string& bytes) {
    alg_handle alg;
    hash_handle hash;
    unsigned char digest[32] = {};
    if (BCryptOpenAlgorithmProvider(alg.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return {};
    BCryptCreateHash(alg.get(), hash.put(), nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                   static_cast<ULONG>(bytes.size()), 0);
    BCryptFinishHash(hash.get(), digest, 32, 0);
    static const wchar_t hex[] = L"0123456789abcdef";
    std::wstring out;
    for (unsigned char b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

}  // namespace java_test
