#include "base/text.h"

#include <windows.h>

std::string to_utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    const int written = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), size, nullptr, nullptr);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

std::wstring from_utf8(std::string_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    // No flags: malformed bytes become replacement characters instead of failing the conversion.
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (size <= 0) return {};
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), size);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

local_time current_local_time() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return local_time{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}
