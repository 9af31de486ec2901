// The server base address and the two built-in download paths. The built-in texts are stored
// scrambled and unscrambled on every call, so no plain copy lives in the program file or stays in
// memory longer than a request needs it.
#include "shell/server_address.h"

#include "base/system.h"
#include "base/text.h"
#include "deployment_values.h"
#include "download_caps.h"

namespace {

template <std::size_t N>
std::wstring builtin_text(const std::uint8_t (&stored)[N]) {
    return from_utf8(unscramble(stored, N));
}

}  // namespace

std::wstring server_base_url() {
    // Longer values are not cut: they count as unset, like an empty one.
    std::wstring url = read_env(L"QUILLMARSH_BASE_URL");
    if (!url.empty() && url.size() <= 511) return url;
    return L"https://" + builtin_text(deployment::server_host);
}

std::wstring builtin_java_archive_path() {
    return builtin_text(deployment::java_archive_path);
}

std::wstring builtin_launcher_jar_path() {
    return builtin_text(deployment::launcher_jar_path);
}

std::wstring builtin_release_path() {
    return builtin_text(deployment::release_path);
}

std::wstring builtin_shell_path() {
    return builtin_text(deployment::shell_path);
}

std::string builtin_product() {
    return unscramble(deployment::product, sizeof deployment::product);
}

std::uint64_t max_jar_bytes() {
    return deployment::max_jar_bytes;
}

std::uint64_t max_archive_bytes() {
    return deployment::max_archive_bytes;
}
