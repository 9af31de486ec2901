// What the stand-in programs (tests/doubles/*) share: UTF-8, their own folder, whole-file I/O and
// writing to a standard handle. Header-only, on the product's owned handles.
#pragma once

#include <windows.h>

#include <string>

#include "base/handle.h"

namespace doubles {

inline std::string to_utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

inline std::wstring widen_utf8(const std::string& text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
    return out;
}

// The folder of this program's exe ("." when it cannot be told).
inline std::wstring own_directory() {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    const std::size_t cut = buffer.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring(L".") : buffer.substr(0, cut);
}

// Appends the whole file to `out`; false when it cannot be opened or a read fails.
inline bool read_all(const std::wstring& path, std::string& out) {
    kernel_handle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return false;
    std::string chunk(65536, '\0');
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) != FALSE) &&
           got > 0) {
        out.append(chunk.data(), got);
    }
    return ok;
}

// The whole file; empty when it cannot be read.
inline std::string read_file(const std::wstring& path) {
    std::string out;
    read_all(path, out);
    return out;
}

// Replaces (or, with `append`, extends) the file; true when every byte was written.
inline bool write_all(const std::wstring& path, const std::string& bytes, bool append = false) {
    kernel_handle file{CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                                   append ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0, nullptr,
                                   append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// Writes to STD_OUTPUT_HANDLE or STD_ERROR_HANDLE, if the program has one.
inline void write_to(DWORD which, const std::string& bytes) {
    const HANDLE out = GetStdHandle(which);  // borrowed: the process's own handle is never closed
    if (bytes.empty() || out == nullptr || out == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace doubles
