// The device check stage with the real shell: the ban check against the fault-injecting test server
// (banned, no verdict) and against the reference server (the signature is accepted).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "device/device.h"
#include "tests/e2e/driver.h"
#include "tests/unit/net_test_server.h"

namespace {

using e2e::narrow;
using e2e::widen;

const std::wstring kF3Box = L"Не удалось проверить устройство.\n\nСервер проверки недоступен. Попробуйте позже.";
const std::wstring kF4Box =
    L"Ваше железо заблокированно! Обратитесь в службу поддержки если вы считаете что это ошибка!";

std::wstring launcher_log(const e2e::sandbox& s) {
    return widen(e2e::read_file(s.roaming_launcher() + L"\\launcher.log").value_or(""));
}

bool contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

class device_check : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(e2e::shell_exe().empty()) << "QUILLMARSH_EXE is not set";
        const auto found = test_server::find();
        ASSERT_TRUE(found) << "the fault server is not running (ctest fixture fault_server)";
        server = *found;
    }
    // Every run has a base address of its own on the test server (the server outlives test programs).
    std::wstring folder(const std::wstring& name) const { return L"/e2e/device/" + run_id + L"/" + name; }
    std::wstring base(const std::wstring& name) const { return test_server::url(server.http, folder(name)); }
    std::wstring endpoint(const std::wstring& name) const { return folder(name) + L"/launcher/hwid_ban.php"; }

    e2e::run_result run_shell(const e2e::sandbox& s, const std::wstring& base_url) {
        // The first launcher candidate needs its parent, as for a player who ran the launcher before.
        e2e::make_dirs(s.roaming + L"\\.quillmarsh");
        e2e::launch l = s.shell();
        l.env.set(L"QUILLMARSH_BASE_URL", base_url);
        return e2e::run(l, e2e::time_limit(90000));
    }

    test_server::ports server;
    const std::wstring run_id = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount64());
};

TEST_F(device_check, a_banned_device_gets_the_ban_box_and_nothing_is_downloaded) {
    ASSERT_TRUE(test_server::set_body(endpoint(L"banned"), R"({"banned": true})"));
    e2e::sandbox s;
    const e2e::run_result r = run_shell(s, base(L"banned"));
    ASSERT_TRUE(r.started) << narrow(r.start_error);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0u);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].text, kF4Box);
    EXPECT_EQ(r.boxes[0].title, L"Quillmarsh Launcher");

    const std::wstring log = launcher_log(s);
    EXPECT_TRUE(contains(log, L"Сбор HWID устройства...")) << narrow(log);
    EXPECT_TRUE(contains(log, L"HWID устройства собран.")) << narrow(log);
    EXPECT_TRUE(contains(log, L"HWID ЗАБЛОКИРОВАН. Запуск лаунчера запрещён.")) << narrow(log);
    EXPECT_FALSE(contains(log, L"продолжаем")) << narrow(log);

    // The ban check was the only request under this base address: no archive, no jar.
    const std::string requests = test_server::log_lines_with(narrow(folder(L"banned/")));
    EXPECT_EQ(test_server::hits(endpoint(L"banned")), 1u) << requests;
    EXPECT_EQ(requests.find("Java17"), std::string::npos) << requests;
    EXPECT_EQ(requests.find(".jar"), std::string::npos) << requests;
    EXPECT_FALSE(e2e::dir_exists(s.roaming_launcher() + L"\\Java17"));
    EXPECT_FALSE(e2e::file_exists(s.roaming_launcher() + L"\\Java17.zip"));
    EXPECT_FALSE(e2e::file_exists(s.roaming_launcher() + L"\\QuillmarshLauncher.jar.tmp"));
}

TEST_F(device_check, a_server_without_a_verdict_refuses_the_launch) {
    struct row {
        const wchar_t* name;
        const wchar_t* route;
        std::wstring reason;
        std::uint64_t requests;  // a 200 body ends the asking; another status tries the direct route too
    };
    const row rows[] = {
        {L"maintenance", L"body=maintenance", L"Неожиданный ответ сервера проверки HWID", 1},
        {L"forbidden", L"status=403&body=%7B%22banned%22%3Afalse%7D", L"Сервер вернул код 403", 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow(r.name));
        ASSERT_TRUE(test_server::set_route(endpoint(r.name), r.route));
        e2e::sandbox s;
        const e2e::run_result result = run_shell(s, base(r.name));
        ASSERT_TRUE(result.started) << narrow(result.start_error);
        EXPECT_EQ(result.exit_code, 0u);
        ASSERT_EQ(result.boxes.size(), 1u);
        EXPECT_EQ(result.boxes[0].text, kF3Box);
        const std::wstring log = launcher_log(s);
        EXPECT_TRUE(contains(log, L"Не удалось проверить HWID: " + r.reason +
                                      L". Сервер недоступен — блокирую запуск."))
            << narrow(log);
        // Only the ban check was asked: nothing is downloaded.
        EXPECT_EQ(test_server::hits(endpoint(r.name)), r.requests);
        EXPECT_EQ(test_server::log_lines_with(narrow(folder(r.name) + L"/")).find("Java17"), std::string::npos);
    }
}

TEST_F(device_check, the_request_carries_this_devices_identity) {
    ASSERT_TRUE(test_server::set_body(endpoint(L"identity"), R"({"banned":true})"));
    e2e::sandbox s;
    const e2e::run_result r = run_shell(s, base(L"identity"));
    ASSERT_TRUE(r.started) << narrow(r.start_error);
    ASSERT_EQ(r.boxes.size(), 1u);

    // The same prefix gives this process the same fingerprint as the shell.
    const DeviceIdentity identity = collect_device_identity();
    ASSERT_EQ(identity.hwid.size(), 64u);
    ASSERT_EQ(identity.sig.size(), 64u);
    const std::string want = "GET " + narrow(endpoint(L"identity")) + "?hwid=" + narrow(identity.hwid) +
                             "&sig=" + narrow(identity.sig) + " HTTP/1.1\tQuillmarshLauncher/1.0";
    const std::string seen = test_server::log_lines_with(narrow(folder(L"identity/")));
    EXPECT_NE(seen.find(want), std::string::npos) << seen << "\nwanted: " << want;
}

// The reference server (ctest fixture reference_server, development key) checks the signature the shell
// sends; a rejected signature would end in the F3 box instead.
TEST_F(device_check, the_reference_server_accepts_the_signature) {
    const std::wstring dir = e2e::windows_path(e2e::own_env(L"QUILLMARSH_REFERENCE_SERVER"));
    ASSERT_FALSE(dir.empty()) << "the reference server is not running (ctest fixture reference_server)";
    const std::string port = e2e::read_file(dir + L"\\port").value_or("");
    ASSERT_FALSE(port.empty());
    const std::wstring url = L"http://127.0.0.1:" + widen(port.substr(0, port.find_first_of("\r\n")));

    e2e::sandbox s;
    const e2e::run_result r = run_shell(s, url);
    ASSERT_TRUE(r.started) << narrow(r.start_error);
    const std::wstring log = launcher_log(s);
    EXPECT_TRUE(contains(log, L"HWID не значится в бан-листе — продолжаем.")) << narrow(log);
    for (const e2e::box_seen& box : r.boxes) {
        EXPECT_NE(box.text, kF3Box);
        EXPECT_NE(box.text, kF4Box);
    }
    // The server's own log has the request and its 200 answer.
    const std::string server_log = e2e::read_file(dir + L"\\server.log").value_or("");
    const DeviceIdentity identity = collect_device_identity();
    const std::string line = "[200]: GET /launcher/hwid_ban.php?hwid=" + narrow(identity.hwid) +
                             "&sig=" + narrow(identity.sig);
    EXPECT_NE(server_log.find(line), std::string::npos) << server_log;
}

}  // namespace
