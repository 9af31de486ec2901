// The ban check against the fault-injecting test server: request form, routes, verdicts, failures.
#include <gtest/gtest.h>

#include "net/net_internal.h"
#include "net/net_pure.h"
#include "tests/unit/net_test_server.h"
#include "tests/unit/net_test_support.h"

namespace {

using net_test::default_proxy;

const std::wstring kHwid = L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::wstring kSig = L"fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

std::string narrow(const std::wstring& s) {
    return std::string(s.begin(), s.end());
}

class net_ban_check : public testing::Test {
protected:
    void SetUp() override {
        const auto found = test_server::find();
        ASSERT_TRUE(found) << "the fault server is not running (ctest fixture fault_server, QUILLMARSH_TEST_SERVER)";
        server = *found;
    }
    // A base address of its own per case, so the endpoint path is unique: base + "/launcher/hwid_ban.php".
    std::wstring base(const std::wstring& name) const { return test_server::url(server.http, L"/net/ban/" + name); }
    static std::wstring endpoint(const std::wstring& name) { return L"/net/ban/" + name + L"/launcher/hwid_ban.php"; }

    test_server::ports server;
};

TEST_F(net_ban_check, recognises_the_four_verdict_forms_and_refuses_near_misses) {
    default_proxy none(nullptr);
    struct row {
        const char* body;
        bool answered;
        bool banned;
    };
    const row rows[] = {
        {R"({"banned":false})", true, false},
        {R"({"banned": false})", true, false},
        {R"({"banned":true})", true, true},
        {R"({"banned": true})", true, true},
        {R"({"BANNED":FALSE})", true, false},
        {R"({"Banned": TRUE, "reason": "x"})", true, true},
        {R"({"banned":false, "old": {"banned":true}})", true, true},  // a false form first, a true one later
        {R"({"banned" :true})", false, false},
        {R"({"banned":  false})", false, false},
        {R"({"banned":"false"})", false, false},
        {"", false, false},
        {"<html>maintenance</html>", false, false},
    };
    int n = 0;
    for (const row& r : rows) {
        SCOPED_TRACE(r.body);
        const std::wstring name = L"form" + std::to_wstring(n++);
        ASSERT_TRUE(test_server::set_body(endpoint(name), r.body));
        std::wstring error = L"old text";
        const ban_check_result result = check_hwid_ban(base(name), kHwid, kSig, error);
        EXPECT_EQ(result.answered, r.answered);
        EXPECT_EQ(result.banned, r.banned);
        if (!r.answered) {
            EXPECT_EQ(error, L"Неожиданный ответ сервера проверки HWID");
        }
        // One request suffices when the first route gets a 200.
        EXPECT_EQ(test_server::hits(endpoint(name)), 1u);
    }
}

TEST_F(net_ban_check, sends_the_fingerprint_and_signature_unchanged) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_body(endpoint(L"form"), R"({"banned":false})"));
    ASSERT_TRUE(test_server::set_body(L"/net/ban/slash//launcher/hwid_ban.php", R"({"banned":false})"));
    std::wstring error;
    EXPECT_TRUE(check_hwid_ban(base(L"form"), kHwid, kSig, error).answered) << narrow(error);
    // A base ending in "/" doubles the slash; nothing strips it.
    EXPECT_TRUE(check_hwid_ban(base(L"slash/"), kHwid, kSig, error).answered) << narrow(error);
    const std::string query = "/launcher/hwid_ban.php?hwid=" + narrow(kHwid) + "&sig=" + narrow(kSig);
    EXPECT_EQ(test_server::log_lines_with("/net/ban/form/launcher/") +
                  test_server::log_lines_with("/net/ban/slash/"),
              "http\tGET /net/ban/form" + query + " HTTP/1.1\tQuillmarshLauncher/1.0\n"
              "http\tGET /net/ban/slash/" + query + " HTTP/1.1\tQuillmarshLauncher/1.0\n");
}

TEST_F(net_ban_check, status_403_on_both_routes_gives_no_verdict) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_route(endpoint(L"forbidden"), L"status=403&body=" +
                                                                     test_server::encode(R"({"banned":false})")));
    std::wstring error;
    const ban_check_result result = check_hwid_ban(base(L"forbidden"), kHwid, kSig, error);
    EXPECT_FALSE(result.answered);
    EXPECT_FALSE(result.banned);
    EXPECT_EQ(error, L"Сервер вернул код 403");  // a verdict in a non-200 body does not count
    EXPECT_EQ(test_server::hits(endpoint(L"forbidden")), 2u);
}

TEST_F(net_ban_check, takes_the_direct_verdict_when_the_proxy_fails_and_starts_with_the_proxy_again) {
    ASSERT_TRUE(test_server::set_body(endpoint(L"routes"), R"({"banned": true})"));
    {
        default_proxy dead(L"127.0.0.1:9");
        ASSERT_TRUE(dead.ok());
        std::wstring error;
        const ban_check_result result = check_hwid_ban(base(L"routes"), kHwid, kSig, error);
        EXPECT_TRUE(result.answered) << narrow(error);
        EXPECT_TRUE(result.banned);
    }
    // Nothing is remembered: with a working proxy the next check goes through it.
    default_proxy live((L"127.0.0.1:" + std::to_wstring(server.proxy)).c_str());
    std::wstring error;
    EXPECT_TRUE(check_hwid_ban(base(L"routes"), kHwid, kSig, error).banned);
    const std::string lines = test_server::log_lines_with("/net/ban/routes/");
    EXPECT_EQ(lines.substr(0, 5), "http\t") << lines;
    EXPECT_NE(lines.find("\nproxy\tGET "), std::string::npos) << lines;
    EXPECT_EQ(test_server::hits(endpoint(L"routes")), 2u);
}

TEST_F(net_ban_check, unreachable_server_gives_no_verdict) {
    default_proxy none(nullptr);
    std::wstring error;
    const ban_check_result result = check_hwid_ban(L"http://127.0.0.1:9", kHwid, kSig, error);
    EXPECT_FALSE(result.answered);
    EXPECT_FALSE(result.banned);
    EXPECT_EQ(error, L"Нет ответа от сервера");  // no platform code in the ban check's texts
}

TEST_F(net_ban_check, a_body_broken_mid_way_is_searched_as_far_as_it_came) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_route(endpoint(L"broken"), L"body=" + test_server::encode(R"({"banned":true,)") +
                                                                 L"&size=200000&drop_after=60000"));
    std::wstring error;
    const ban_check_result result = check_hwid_ban(base(L"broken"), kHwid, kSig, error);
    EXPECT_TRUE(result.answered) << narrow(error);
    EXPECT_TRUE(result.banned);
}

// A server that sends without end must not exhaust the shell's memory: reading stops at the limit and
// what arrived is searched. A true form placed behind the limit is therefore never seen.
TEST_F(net_ban_check, reads_at_most_the_body_limit) {
    default_proxy none(nullptr);
    const std::size_t filler = kBanBodyLimit + 100000;
    ASSERT_TRUE(test_server::set_route(endpoint(L"huge"), L"body=" + test_server::encode(R"({"banned":false,"pad":")") +
                                                               L"&size=" + std::to_wstring(filler) +
                                                               L"&suffix=" + test_server::encode(R"(","banned":true})")));
    std::wstring error;
    ban_check_result result = check_hwid_ban(base(L"huge"), kHwid, kSig, error);
    EXPECT_TRUE(result.answered) << narrow(error);
    EXPECT_FALSE(result.banned);

    // Without a length and without end: the check still returns with the verdict at the start.
    ASSERT_TRUE(test_server::set_route(endpoint(L"endless"), L"length=0&body=" +
                                                                  test_server::encode(R"({"banned": true,"pad":")") +
                                                                  L"&size=4000000000"));
    result = check_hwid_ban(base(L"endless"), kHwid, kSig, error);
    EXPECT_TRUE(result.answered) << narrow(error);
    EXPECT_TRUE(result.banned);
}

TEST_F(net_ban_check, accepts_bad_certificates_on_https) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_body(endpoint(L"tls"), R"({"banned":false})"));
    for (const std::uint16_t port : {server.https, server.expired, server.mismatch}) {
        SCOPED_TRACE(port);
        std::wstring error;
        const ban_check_result result =
            check_hwid_ban(test_server::url(port, L"/net/ban/tls", true), kHwid, kSig, error);
        EXPECT_TRUE(result.answered) << narrow(error);
        EXPECT_FALSE(result.banned);
    }
}

TEST_F(net_ban_check, urls_over_the_buffers_fail_without_touching_the_network) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_body(endpoint(L"long"), R"({"banned":false})"));
    // The path with its query may have 4095 characters: the request adds 28 + 64 + 5 + 64 to the base.
    const std::wstring base_path = L"/net/ban/long";
    const std::size_t fixed = base_path.size() + 28 + kHwid.size() + 5;
    const std::wstring sig_fits(4095 - fixed, L'a');
    const std::wstring sig_over(4096 - fixed, L'a');
    std::wstring error;
    EXPECT_TRUE(check_hwid_ban(base(L"long"), kHwid, sig_fits, error).answered) << narrow(error);

    const std::uint64_t tcp_before = test_server::connections();
    const std::uint64_t hits_before = test_server::hits(endpoint(L"long"));
    struct row {
        std::wstring base;
        std::wstring sig;
    };
    const row rows[] = {
        {base(L"long"), sig_over},
        {L"http://" + std::wstring(256, L'h') + L":" + std::to_wstring(server.http) + base_path, kSig},
        {L"no scheme", kSig},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.base.size() + r.sig.size());
        error = L"old";
        const ban_check_result result = check_hwid_ban(r.base, kHwid, r.sig, error);
        EXPECT_FALSE(result.answered);
        EXPECT_EQ(error, L"Некорректный адрес проверки HWID");
    }
    EXPECT_EQ(test_server::connections(), tcp_before);
    EXPECT_EQ(test_server::hits(endpoint(L"long")), hits_before);
}

TEST_F(net_ban_check, each_check_leaves_no_connection_behind_in_the_download_cache) {
    default_proxy none(nullptr);
    reset_http_cache_for_tests();
    ASSERT_TRUE(test_server::set_body(endpoint(L"own"), R"({"banned":false})"));
    std::wstring error;
    EXPECT_TRUE(check_hwid_ban(base(L"own"), kHwid, kSig, error).answered);
    EXPECT_FALSE(g_http_cache.session);
    EXPECT_EQ(g_http_cache.sessions_opened, 0u);
    EXPECT_FALSE(g_preferred_route.has_value());
}

}  // namespace
