// The shell built with failure reports, through a run that ends in the Java 17 stage's box (no archive
// on the server): one report with the stage's code, signed, masked; a server that never answers holds
// the exit only for the report's bound; and the default build sends nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>  // lets the test server client open its wide-named ports file
#include <string>

#include "device/device.h"
#include "net/net.h"
#include "tests/e2e/driver.h"
#include "tests/unit/net_test_server.h"

namespace {

// A name no Wine prefix has, with letters whose case folding the masking must handle.
const std::wstring kUserName = L"Тестов-Ёжик";

std::string utf8(const std::wstring& text) {
    return e2e::narrow(text);
}

// A player whose profile folder lives in a folder of the test, named after a Cyrillic user name, and
// a server path of its own on the fault server (the ban check says "not banned", no Java archive).
struct report_world {
    e2e::temp_dir dir{L"qm-report"};
    std::wstring home = dir.sub(L"Users\\" + kUserName);
    std::wstring roaming = dir.sub(L"Users\\" + kUserName + L"\\AppData\\Roaming");
    std::wstring local = dir.sub(L"Users\\" + kUserName + L"\\AppData\\Local");
    e2e::profile_redirect profile{roaming, local};
    std::wstring prefix = L"/report-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                          std::to_wstring(GetTickCount64());
    std::wstring report_path = prefix + L"/launcher/report.php";

    report_world() {
        e2e::make_dirs(roaming + L"\\.quillmarsh");  // a player who has run the launcher before
        test_server::set_body(prefix + L"/launcher/hwid_ban.php", R"({"banned":false})");
    }
    ~report_world() { test_server::release(report_path); }  // a held connection must not outlive the test

    std::wstring launcher_log() const { return roaming + L"\\.quillmarsh\\launcher\\launcher.log"; }

    // Runs `exe` to its end. With `await_report` its box stays open until the server has the report, so
    // the report is never cut short by a slow start of the sending thread.
    e2e::run_result run(const std::wstring& exe, bool await_report = false) const {
        e2e::launch l = e2e::shell_launch();
        l.exe = exe;
        l.env.set(L"TEMP", dir.sub(L"temp"));
        l.env.set(L"TMP", dir.sub(L"temp"));
        l.env.set(L"USERPROFILE", home);
        l.env.set(L"USERNAME", kUserName);
        l.env.set(L"QUILLMARSH_BASE_URL", test_server::url(test_server::find()->http, prefix));
        l.working_dir = dir.path;
        e2e::watch_options options = e2e::time_limit(120000);
        options.poll_ms = 100;
        const std::wstring path = report_path;
        if (await_report) options.on_box = [path](const e2e::box_seen&) { return test_server::hits(path) >= 1; };
        return e2e::run(l, options);
    }
};

std::wstring reports_exe() {
    const std::wstring path = e2e::own_env(L"QUILLMARSH_REPORTS_EXE");
    return path.empty() ? L"" : e2e::windows_path(path);
}

// The value of a string member that holds no escapes (hwid, sig, code, versions).
std::string member(const std::string& body, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const std::size_t start = body.find(key);
    if (start == std::string::npos) return {};
    const std::size_t end = body.find('"', start + key.size());
    return end == std::string::npos ? std::string{} : body.substr(start + key.size(), end - start - key.size());
}

bool all_of_set(const std::string& text, const char* allowed) {
    return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
}

void expect_java17_box(const e2e::run_result& result) {
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.exit_code, 0u);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].text.rfind(L"Не удалось скачать и распаковать Java 17.\n\n", 0), 0u);
}

}  // namespace

TEST(failure_report_e2e, a_missing_java17_sends_one_signed_and_masked_report) {
    if (!test_server::find()) GTEST_SKIP() << "the test server fixture is not running";
    ASSERT_FALSE(reports_exe().empty()) << "QUILLMARSH_REPORTS_EXE is not set";
    report_world w;
    test_server::set_body(w.report_path, R"({"stored":true})");
    const e2e::run_result result = w.run(reports_exe(), true);
    expect_java17_box(result);

    const std::vector<test_server::post_seen> posts = test_server::posts(w.report_path);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(test_server::hits(w.report_path), 1u);
    const std::string& body = posts[0].body;
    EXPECT_LE(body.size(), kReportBodyLimit);
    EXPECT_EQ(body.front(), '{');
    EXPECT_EQ(body.substr(body.size() - 2), "]}");

    // The members, and the two signatures under the deployment key (BCrypt's HMAC as the oracle).
    const std::string key = hwid_signing_key();
    EXPECT_EQ(member(body, "code"), "java17_failed");
    EXPECT_EQ(member(body, "shell_version"), "1.0.0.0");  // FILEVERSION of the program's resource
    const std::string windows = member(body, "windows_version");
    EXPECT_TRUE(all_of_set(windows, "0123456789.")) << windows;
    EXPECT_EQ(std::count(windows.begin(), windows.end(), '.'), 2);
    const std::string hwid = member(body, "hwid");
    ASSERT_EQ(hwid.size(), 64u);
    EXPECT_TRUE(all_of_set(hwid, "0123456789abcdef"));
    EXPECT_EQ(member(body, "sig"), utf8(hex_lower(hmac_sha256(key, hwid))));
    EXPECT_EQ(posts[0].mac, utf8(hex_lower(hmac_sha256(key, body))));

    // The box's text and the log's lines, masked: the profile folder and the name appear in neither.
    const std::string name = utf8(kUserName);
    EXPECT_EQ(body.find(name), std::string::npos);
    EXPECT_EQ(body.find(utf8(L"ТЕСТОВ-ЁЖИК")), std::string::npos);
    EXPECT_EQ(body.find(utf8(L"тестов-ёжик")), std::string::npos);
    EXPECT_NE(body.find(R"(%USERPROFILE%\\AppData\\Roaming\\.quillmarsh\\launcher\\launcher.log")"),
              std::string::npos) << body;  // the end of the box's text
    EXPECT_NE(body.find(utf8(L"] Каталог лаунчера: ") + R"(%USERPROFILE%\\AppData\\Roaming)"), std::string::npos);
    EXPECT_NE(body.find(utf8(L"ОШИБКА: не удалось подготовить Java 17: ")), std::string::npos);
}

TEST(failure_report_e2e, a_server_that_never_answers_holds_the_exit_only_for_the_bound) {
    if (!test_server::find()) GTEST_SKIP() << "the test server fixture is not running";
    ASSERT_FALSE(reports_exe().empty()) << "QUILLMARSH_REPORTS_EXE is not set";
    report_world w;
    // The connection is accepted and held, unanswered, until the test releases it (at most 300 s).
    test_server::set_route(w.report_path, L"silent=1");
    const e2e::run_result result = w.run(reports_exe(), true);
    // The shell ended by itself while the server still held the report's connection.
    expect_java17_box(result);
    EXPECT_FALSE(result.killed);
    EXPECT_EQ(test_server::hits(w.report_path), 1u);
    EXPECT_EQ(test_server::posts(w.report_path).size(), 1u);
    const std::string log = e2e::read_file(w.launcher_log()).value_or("");
    EXPECT_NE(log.find(utf8(L"Отчёт об ошибке не отправлен: ")), std::string::npos) << log;
}

TEST(failure_report_e2e, the_default_build_sends_nothing) {
    if (!test_server::find()) GTEST_SKIP() << "the test server fixture is not running";
    report_world w;
    test_server::set_body(w.report_path, R"({"stored":true})");
    const e2e::run_result result = w.run(e2e::shell_exe());
    expect_java17_box(result);
    EXPECT_EQ(test_server::hits(w.report_path), 0u);
    EXPECT_EQ(test_server::log_lines_with(utf8(w.prefix)).find("POST"), std::string::npos);
    // The run did reach the server: the ban check was asked.
    EXPECT_EQ(test_server::hits(w.prefix + L"/launcher/hwid_ban.php"), 1u);
}

TEST(failure_report_e2e, the_device_check_reports_a_missing_verdict_but_never_the_ban) {
    if (!test_server::find()) GTEST_SKIP() << "the test server fixture is not running";
    ASSERT_FALSE(reports_exe().empty()) << "QUILLMARSH_REPORTS_EXE is not set";
    struct row {
        const char* name;
        int status;
        std::string answer;
        const wchar_t* box_start;
        const char* code;  // nullptr: no report
    };
    const row rows[] = {
        {"no verdict", 500, "oops", L"Не удалось проверить устройство.\n\nСервер проверки недоступен.",
         "ban_check_failed"},
        {"banned", 200, R"({"banned":true})", L"Ваше железо заблокированно!", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        report_world w;
        test_server::set_body(w.prefix + L"/launcher/hwid_ban.php", r.answer, r.status);
        test_server::set_body(w.report_path, R"({"stored":true})");
        const e2e::run_result result = w.run(reports_exe(), r.code != nullptr);
        ASSERT_TRUE(result.exited);
        ASSERT_EQ(result.boxes.size(), 1u);
        EXPECT_EQ(result.boxes[0].text.rfind(r.box_start, 0), 0u) << utf8(result.boxes[0].text);
        const std::vector<test_server::post_seen> posts = test_server::posts(w.report_path);
        if (r.code == nullptr) {
            EXPECT_EQ(posts.size(), 0u);
        } else {
            ASSERT_EQ(posts.size(), 1u);
            EXPECT_EQ(member(posts[0].body, "code"), r.code);
        }
    }
}
