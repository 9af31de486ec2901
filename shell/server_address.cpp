// The server base address and the two built-in download paths. The built-in texts are stored
// scrambled and unscrambled on every call, so no plain copy lives in the program file or stays in
// memory longer than a request needs it.
#include "shell/shell.h"

#include "deployment_values.h"

namespace {

constexpr DWORD kBaseUrlChars = 512;

template <std::size_t N>
std::wstring builtin_text(const std::uint8_t (&stored)[N]) {
    return from_utf8(unscramble(stored, N));
}

}  // namespace

std::wstring server_base_url() {
    wchar_t buffer[kBaseUrlChars] = {};
    // 0 when missing or empty; the size it would need (with its NUL) when the value does not fit.
    const DWORD length = GetEnvironmentVariableW(L"QUILLMARSH_BASE_URL", buffer, kBaseUrlChars);
    if (length >= 1 && length <= kBaseUrlChars - 1) return std::wstring(buffer);
    return L"https://" + builtin_text(deployment::server_host);
}

std::wstring builtin_java_archive_path() {
    return builtin_text(deployment::java_archive_path);
}

std::wstring builtin_launcher_jar_path() {
    return builtin_text(deployment::launcher_jar_path);
}
