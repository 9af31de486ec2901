// The launcher update stage's downloads: a leftover temporary file, the jar's cap with a 64-bit
// announced length, and a jar that another program tries to change between its download and its
// installation. Against the fault-injecting test server.
#include <gtest/gtest.h>

#include "base/log.h"
#include "net/net_internal.h"
#include "shell/server_address.h"
#include "shell/stages.h"
#include "tests/support/support.h"
#include "tests/unit/net_test_server.h"

namespace {

using support::exists;
using support::narrow;
using support::read_bytes;
using support::temp_dir;
using support::write_file;

// FIPS 180-4's "abc" and its digest.
const std::string kJar = "abc";
const std::string kJarDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// A launcher directory with its log, the base address pointing at a path of this scene's own.
struct update_scene {
    temp_dir temp{L"update stage"};
    std::wstring base_path;
    std::optional<support::env_var> base;
    launch_context launch;

    update_scene() {
        static int counter = 0;
        base_path = L"/update-stage/" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                    std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
        launch.launcher_dir = temp.path;
        set_log_file(temp.file(L"launcher.log"));
        base.emplace(L"QUILLMARSH_BASE_URL", test_server::url(test_server::find()->http, base_path));
        reset_http_cache_for_tests();
    }
    ~update_scene() {
        set_log_file(L"");
        reset_http_cache_for_tests();
    }
    std::wstring jar() const { return temp.file(L"QuillmarshLauncher.jar"); }
    std::wstring temp_jar() const { return jar() + L".tmp"; }
    std::wstring jar_route() const { return base_path + builtin_launcher_jar_path(); }
    std::string log() const { return read_bytes(temp.file(L"launcher.log")); }
};

#define NEED_SERVER()                                                                      \
    if (!test_server::find()) GTEST_SKIP() << "the test server fixture is not running"

// Another program's attempt to write into the downloaded jar before it is installed.
DWORD g_write_attempt = ERROR_SUCCESS;
void try_to_write(const std::wstring& path) {
    const kernel_handle file{CreateFileW(path.c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr)};
    g_write_attempt = file ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

TEST(update_stage_downloads, a_leftover_temporary_jar_goes_even_when_the_download_fails) {
    NEED_SERVER();
    update_scene s;
    write_file(s.jar(), kJar);
    write_file(s.temp_jar(), "half of a jar from a killed run");
    ASSERT_TRUE(test_server::set_route(s.jar_route(), L"status=503"));
    stage_failure failure;
    EXPECT_TRUE(run_launcher_update_stage(s.launch, failure));
    EXPECT_FALSE(exists(s.temp_jar()));
    EXPECT_NE(s.log().find("ОШИБКА скачивания: Сервер вернул код 503\r\n"), std::string::npos) << s.log();
}

TEST(update_stage_downloads, a_jar_announced_past_the_cap_is_not_downloaded_and_the_local_one_runs) {
    NEED_SERVER();
    update_scene s;
    write_file(s.jar(), kJar);
    // 4 GiB + 1: read as a 32-bit number it would be 1 byte, far under the cap.
    ASSERT_TRUE(test_server::set_route(s.jar_route(), L"size=1000&declare=4294967297"));
    stage_failure failure;
    EXPECT_TRUE(run_launcher_update_stage(s.launch, failure));
    const std::string want = "ОШИБКА скачивания: Файл на сервере слишком большой (4294967297 байт, допустимо не больше " +
                             std::to_string(max_jar_bytes()) + ")\r\n";
    EXPECT_NE(s.log().find(want), std::string::npos) << s.log();
    EXPECT_NE(s.log().find("Локальный файл есть — запускаю его без обновления.\r\n"), std::string::npos);
    EXPECT_FALSE(exists(s.temp_jar()));
    EXPECT_EQ(read_bytes(s.jar()), kJar);
}

TEST(update_stage_downloads, the_jar_installed_is_the_one_hashed_and_cannot_be_written_in_between) {
    NEED_SERVER();
    update_scene s;
    write_file(s.jar(), "an older jar");
    ASSERT_TRUE(test_server::set_body(s.jar_route(), kJar));
    g_write_attempt = ERROR_SUCCESS;
    g_downloaded_file_hook = &try_to_write;
    stage_failure failure;
    const bool ok = run_launcher_update_stage(s.launch, failure);
    g_downloaded_file_hook = nullptr;
    EXPECT_TRUE(ok);
    EXPECT_EQ(g_write_attempt, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(read_bytes(s.jar()), kJar);
    EXPECT_FALSE(exists(s.temp_jar()));
    EXPECT_NE(s.log().find(", Remote: " + kJarDigest + ")\r\n"), std::string::npos) << s.log();
    EXPECT_NE(s.log().find("Лаунчер обновлён: " + narrow(s.jar()) + "\r\n"), std::string::npos) << s.log();
    EXPECT_NE(read_bytes(s.temp.file(L"last.sha256")).find(kJarDigest), std::string::npos);
}
