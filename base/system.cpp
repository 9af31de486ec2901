#include "base/system.h"

#include "base/handle.h"

std::wstring read_env(const wchar_t* name) {
    constexpr DWORD chars = 32768;
    std::wstring buffer(chars, L'\0');
    const DWORD n = GetEnvironmentVariableW(name, buffer.data(), chars);
    if (n == 0 || n >= chars) return {};
    buffer.resize(n);
    return buffer;
}

std::optional<std::wstring> read_registry_string(HKEY root, const std::wstring& subkey, const std::wstring& value) {
    reg_key key;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), value.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    if (type != REG_SZ || size < sizeof(wchar_t)) return std::nullopt;
    // The size is in bytes and the stored text need not end in a NUL: read exactly that many bytes
    // and cut at the first NUL, if any.
    std::wstring text(size / sizeof(wchar_t), L'\0');
    DWORD read_size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &read_size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::nullopt;
    }
    text.resize(read_size / sizeof(wchar_t) < text.size() ? read_size / sizeof(wchar_t) : text.size());
    const std::size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
}
