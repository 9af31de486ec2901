// Server base address from QUILLMARSH_BASE_URL or the built-in host, and the built-in download paths.
#include <gtest/gtest.h>

#include <string>

#include "deployment_values.h"
#include "shell/server_address.h"
#include "tests/support/support.h"

namespace {

using support::env_var;

// Independent of the product's routine: the stored bytes XOR (90 + 7 i) mod 256, ASCII deployment texts.
template <std::size_t N>
std::wstring plain(const std::uint8_t (&stored)[N]) {
    std::wstring out;
    for (std::size_t i = 0; i < N; ++i) {
        out.push_back(static_cast<wchar_t>(stored[i] ^ static_cast<std::uint8_t>((90 + 7 * i) % 256)));
    }
    return out;
}

TEST(server_address, uses_the_variable_when_it_has_1_to_511_characters) {
    const std::wstring builtin = L"https://" + plain(deployment::server_host);
    const std::wstring long_511 = L"http://127.0.0.1:8080/" + std::wstring(511 - 22, L'p');
    const std::wstring long_512 = long_511 + L"p";
    struct row {
        const char* what;
        const wchar_t* value;  // nullptr: unset
        std::wstring want;
    };
    const row rows[] = {
        {"unset", nullptr, builtin},
        {"empty", L"", builtin},
        {"one character", L"x", L"x"},
        {"ends in a slash", L"http://127.0.0.1:8080/", L"http://127.0.0.1:8080/"},  // never normalised
        {"no scheme", L"127.0.0.1:8080", L"127.0.0.1:8080"},
        {"Cyrillic text", L"http://сервер.рф", L"http://сервер.рф"},
        {"511 characters", long_511.c_str(), long_511},
        {"512 characters", long_512.c_str(), builtin},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        env_var scoped(L"QUILLMARSH_BASE_URL", r.value);
        EXPECT_EQ(server_base_url(), r.want);
    }
}

TEST(server_address, the_built_in_texts_are_the_configured_ones) {
    env_var scoped(L"QUILLMARSH_BASE_URL", nullptr);
    const std::wstring base = server_base_url();
    EXPECT_EQ(base.size(), 8 + sizeof deployment::server_host);
    EXPECT_EQ(base, L"https://" + plain(deployment::server_host));
    EXPECT_EQ(builtin_java_archive_path(), plain(deployment::java_archive_path));
    EXPECT_EQ(builtin_launcher_jar_path(), plain(deployment::launcher_jar_path));
    EXPECT_EQ(builtin_release_path(), plain(deployment::release_path));
    const std::string product = builtin_product();
    EXPECT_EQ(std::wstring(product.begin(), product.end()), plain(deployment::product));
    // The paths are appended to the base directly, so they start with a slash.
    EXPECT_EQ(builtin_java_archive_path().substr(0, 1), L"/");
    EXPECT_EQ(builtin_launcher_jar_path().substr(0, 1), L"/");
    EXPECT_EQ(builtin_release_path().substr(0, 1), L"/");
}

TEST(server_address, reads_the_variable_again_on_every_call) {
    env_var first(L"QUILLMARSH_BASE_URL", L"http://first");
    EXPECT_EQ(server_base_url(), L"http://first");
    env_var second(L"QUILLMARSH_BASE_URL", L"http://second");
    EXPECT_EQ(server_base_url(), L"http://second");
}

}  // namespace
