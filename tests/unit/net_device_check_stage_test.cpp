// The device check stage in this process against the fault-injecting test server: the environment
// variables it publishes, the request it sends, and its three endings.
#include <gtest/gtest.h>

#include <string>

#include "base/log.h"
#include "device/device.h"
#include "shell/stages.h"
#include "tests/support/support.h"
#include "tests/unit/net_test_server.h"
#include "tests/unit/net_test_support.h"

namespace {

using net_test::default_proxy;
using support::env_var;
using support::narrow;

std::wstring env(const wchar_t* name) {
    wchar_t buffer[256] = {};
    const DWORD n = GetEnvironmentVariableW(name, buffer, 256);
    return n > 0 && n < 256 ? std::wstring(buffer, n) : std::wstring();
}

// The launcher directory is a temp folder of the test's own; the variables are removed afterwards.
class net_device_check_stage : public testing::Test {
protected:
    void SetUp() override {
        const auto found = test_server::find();
        ASSERT_TRUE(found) << "the fault server is not running (ctest fixture fault_server, QUILLMARSH_TEST_SERVER)";
        server = *found;
        set_log_file(dir.file(L"launcher.log"));
        launch.launcher_dir = dir.path;
    }
    void TearDown() override { set_log_file(L""); }

    // A base address of its own per call: the server outlives this test program.
    std::wstring folder(const std::wstring& name) {
        return L"/net/stage/" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount64()) +
               L"_" + std::to_wstring(++calls) + L"/" + name;
    }
    std::string log_text() const { return support::read_bytes(dir.file(L"launcher.log")); }

    test_server::ports server;
    int calls = 0;
    support::temp_dir dir;
    launch_context launch;
    env_var hwid{L"QUILLMARSH_HWID", nullptr};
    env_var sig{L"QUILLMARSH_HWID_SIG", nullptr};
    default_proxy no_proxy{nullptr};
};

TEST_F(net_device_check_stage, publishes_the_identity_it_sends_also_when_the_check_refuses) {
    const std::wstring base = folder(L"refused");
    ASSERT_TRUE(test_server::set_route(base + L"/launcher/hwid_ban.php", L"status=403"));
    env_var url(L"QUILLMARSH_BASE_URL", test_server::url(server.http, base).c_str());

    stage_failure failure;
    EXPECT_FALSE(run_device_check_stage(launch, failure));
    EXPECT_EQ(failure.log, L"Не удалось проверить HWID: Сервер вернул код 403. Сервер недоступен — блокирую запуск.");
    EXPECT_EQ(failure.box, L"Не удалось проверить устройство.\n\nСервер проверки недоступен. Попробуйте позже.");

    // The variables hold what the fingerprint gives, and the request carried exactly them.
    const DeviceIdentity identity = collect_device_identity();
    EXPECT_EQ(env(L"QUILLMARSH_HWID"), identity.hwid);
    EXPECT_EQ(env(L"QUILLMARSH_HWID_SIG"), identity.sig);
    const std::string line = "GET " + narrow(base) + "/launcher/hwid_ban.php?hwid=" + narrow(env(L"QUILLMARSH_HWID")) +
                             "&sig=" + narrow(env(L"QUILLMARSH_HWID_SIG")) + " HTTP/1.1";
    const std::string seen = test_server::log_lines_with(narrow(base) + "/");
    EXPECT_NE(seen.find(line), std::string::npos) << seen;

    const std::string log = log_text();
    EXPECT_NE(log.find("Сбор HWID устройства..."), std::string::npos) << log;
    EXPECT_NE(log.find("HWID устройства собран."), std::string::npos) << log;
}

TEST_F(net_device_check_stage, ends_with_the_ban_texts_or_goes_on) {
    struct row {
        const char* body;
        bool goes_on;
        const wchar_t* failure_log;
        const wchar_t* box;
    };
    const row rows[] = {
        {R"({"banned":false})", true, L"", L""},
        {R"({"banned":true})", false, L"HWID ЗАБЛОКИРОВАН. Запуск лаунчера запрещён.",
         L"Ваше железо заблокированно! Обратитесь в службу поддержки если вы считаете что это ошибка!"},
        {R"({"banned" : false})", false,
         L"Не удалось проверить HWID: Неожиданный ответ сервера проверки HWID. Сервер недоступен — блокирую запуск.",
         L"Не удалось проверить устройство.\n\nСервер проверки недоступен. Попробуйте позже."},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.body);
        const std::wstring base = folder(L"verdict");
        ASSERT_TRUE(test_server::set_body(base + L"/launcher/hwid_ban.php", r.body));
        env_var url(L"QUILLMARSH_BASE_URL", test_server::url(server.http, base).c_str());
        stage_failure failure;
        EXPECT_EQ(run_device_check_stage(launch, failure), r.goes_on);
        EXPECT_EQ(failure.log, r.failure_log);
        EXPECT_EQ(failure.box, r.box);
        const bool said_go_on = log_text().find("HWID не значится в бан-листе — продолжаем.") != std::string::npos;
        EXPECT_EQ(said_go_on, r.goes_on);
        DeleteFileW(dir.file(L"launcher.log").c_str());
    }
}

}  // namespace
