// The real shell through its Java 17 stage: when no built-in runtime can be provisioned, the run ends
// with the stage's box and log line, and nothing of the attempt is left in the launcher directory.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>  // lets the test server client open its wide-named ports file
#include <string>

#include "shell/server_address.h"
#include "tests/e2e/driver.h"
#include "tests/unit/java_test_support.h"
#include "tests/unit/net_test_server.h"

namespace {

struct stage_world {
    e2e::sandbox sb;
    std::wstring prefix;
    std::wstring launcher;
    std::wstring tools;
    std::wstring served;
    e2e::unpack_doubles doubles{true, true};  // in the system folder, where the shell starts them

    stage_world() {
        prefix = L"/java17-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
        e2e::make_dirs(sb.roaming + L"\\.quillmarsh");  // a player who has run the launcher before
        launcher = sb.roaming_launcher();
        tools = sb.dir.sub(L"tools");  // the doubles' ini and log files
        test_server::set_body(prefix + L"/launcher/hwid_ban.php", R"({"banned":false})");
    }
    ~stage_world() {
        if (!served.empty()) DeleteFileW(served.c_str());
    }

    void serve_archive(const std::string& zip) {
        const std::wstring name = L"java17_e2e_" + prefix.substr(12) + L".zip";
        served = test_server::state_dir() + L"\\" + name;
        e2e::write_file(served, zip);
        const std::wstring linux_path = e2e::own_env(L"QUILLMARSH_TEST_SERVER") + L"/" + name;
        test_server::set_route(prefix + builtin_java_archive_path(),
                               L"file=" + test_server::encode(e2e::narrow(linux_path)));
    }

    e2e::run_result run() const {
        e2e::launch l = sb.shell();
        l.env.set(L"QUILLMARSH_BASE_URL", test_server::url(test_server::find()->http, prefix));
        l.env.set(L"PATH", tools + L";" + l.env.get(L"PATH").value_or(L""));
        l.env.set(L"QUILLMARSH_DOUBLE_DIR", tools);
        return e2e::run(l, e2e::time_limit(120000));
    }
};

}  // namespace

TEST(java17_stage_e2e, a_runtime_that_cannot_be_provisioned_ends_the_run_with_the_stage_box) {
    if (!test_server::find()) GTEST_SKIP() << "the test server fixture is not running";
    const std::string java = e2e::read_file(e2e::test_bin(L"doubles\\java\\java.exe")).value_or("");
    ASSERT_FALSE(java.empty());
    struct row {
        const char* name;
        std::string zip;
        std::string tar_ini;
        std::wstring reason;
    };
    const row rows[] = {
        {"both unpackers fail", java_test::make_zip({{"jdk/bin/java.exe", java}}), "exit=3\n",
         L"распаковка не удалась (завершился с кодом 3)"},
        {"java.exe at the archive root", java_test::make_zip({{"bin/java.exe", java}}), "",
         L"Java 17 распакована, но java.exe не запускается"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        stage_world w;
        w.serve_archive(r.zip);
        if (!r.tar_ini.empty()) {
            e2e::write_file(w.tools + L"\\tar_double.ini", r.tar_ini);
            e2e::write_file(w.tools + L"\\powershell_double.ini", "exit=1\n");
        }
        const e2e::run_result result = w.run();
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exit_code, 0u);
        ASSERT_EQ(result.boxes.size(), 1u);
        EXPECT_EQ(result.boxes[0].title, L"Quillmarsh Launcher");
        EXPECT_EQ(result.boxes[0].text, L"Не удалось скачать и распаковать Java 17.\n\n" + r.reason +
                                            L"\n\nПроверьте интернет-соединение и перезапустите лаунчер.\n\n"
                                            L"Подробности: " +
                                            w.launcher + L"\\launcher.log");
        const std::string log = e2e::read_file(w.launcher + L"\\launcher.log").value_or("");
        EXPECT_NE(log.find(e2e::narrow(L"Подготовка встроенной Java 17...\r\n")), std::string::npos);
        EXPECT_NE(log.find(e2e::narrow(L"ОШИБКА: не удалось подготовить Java 17: " + r.reason + L"\r\n")),
                  std::string::npos);
        for (const wchar_t* left : {L"\\Java17", L"\\Java17.new", L"\\Java17.zip"}) {
            EXPECT_FALSE(e2e::file_exists(w.launcher + left) || e2e::dir_exists(w.launcher + left)) << e2e::narrow(left);
        }
        EXPECT_EQ(test_server::hits(w.prefix + builtin_java_archive_path()), 2u);  // two attempts
        // The stage ended the run: the launcher jar was never asked for.
        EXPECT_EQ(test_server::hits(w.prefix + builtin_launcher_jar_path()), 0u);
    }
}
