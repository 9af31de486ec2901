// HTTP session and request, and the download to a file, against the fault-injecting test server.
#include <gtest/gtest.h>

#include <vector>

#include "net/net_internal.h"
#include "shell/panel_pure.h"
#include "tests/support/support.h"
#include "tests/unit/net_test_server.h"
#include "tests/unit/net_test_support.h"

namespace {

using net_test::default_proxy;
using support::exists;
using support::read_bytes;
using support::temp_dir;
using support::write_file;

class net_http : public testing::Test {
protected:
    void SetUp() override {
        const auto found = test_server::find();
        ASSERT_TRUE(found) << "the fault server is not running (ctest fixture fault_server, QUILLMARSH_TEST_SERVER)";
        server = *found;
        reset_http_cache_for_tests();
    }
    void TearDown() override { reset_http_cache_for_tests(); }

    std::wstring http(const std::wstring& path) const { return test_server::url(server.http, path); }
    std::wstring proxy_text() const { return L"127.0.0.1:" + std::to_wstring(server.proxy); }

    // GET and read the whole body; nothing when http_get fails.
    std::optional<std::string> get(const std::wstring& url, std::wstring& error) {
        const http_handle request = http_get(url, error);
        if (!request) return std::nullopt;
        std::string body;
        char chunk[8192];
        DWORD got = 0;
        while (WinHttpReadData(request.get(), chunk, sizeof chunk, &got) && got > 0) body.append(chunk, got);
        return body;
    }

    test_server::ports server;
};

using support::narrow;

TEST_F(net_http, first_request_goes_over_the_system_proxy_with_the_user_agent) {
    default_proxy proxy(proxy_text().c_str());
    ASSERT_TRUE(proxy.ok());
    ASSERT_TRUE(test_server::set_body(L"/net/http/proxied", "through the proxy"));
    // Both routes would reach the server; the log names the listener that took the request.
    std::wstring error = L"untouched";
    const auto body = get(http(L"/net/http/proxied?a=1&b=2"), error);
    ASSERT_TRUE(body) << narrow(error);
    EXPECT_EQ(*body, "through the proxy");
    EXPECT_EQ(error, L"untouched");
    const std::string lines = test_server::log_lines_with("/net/http/proxied");
    EXPECT_EQ(lines.rfind("proxy\tGET ", 0), 0u) << lines;
    EXPECT_NE(lines.find("/net/http/proxied?a=1&b=2 HTTP/1.1\tQuillmarshLauncher/1.0\n"), std::string::npos) << lines;
    EXPECT_EQ(test_server::hits(L"/net/http/proxied"), 1u);
    EXPECT_EQ(g_preferred_route, http_route::system_proxy);
}

TEST_F(net_http, falls_back_to_direct_and_tries_direct_first_afterwards) {
    ASSERT_TRUE(test_server::set_body(L"/net/http/fallback1", "one"));
    ASSERT_TRUE(test_server::set_body(L"/net/http/fallback2", "two"));
    {
        default_proxy dead(L"127.0.0.1:9");
        ASSERT_TRUE(dead.ok());
        std::wstring error;
        const auto body = get(http(L"/net/http/fallback1"), error);
        ASSERT_TRUE(body) << narrow(error);
        EXPECT_EQ(*body, "one");
        EXPECT_EQ(g_preferred_route, http_route::direct);
    }
    // Now the proxy works, yet the remembered direct route goes first (origin form, no proxy).
    default_proxy live(proxy_text().c_str());
    const std::uint32_t sessions = g_http_cache.sessions_opened;
    std::wstring error;
    ASSERT_TRUE(get(http(L"/net/http/fallback2"), error)) << narrow(error);
    EXPECT_EQ(test_server::log_lines_with("/net/http/fallback"),
              "http\tGET /net/http/fallback1 HTTP/1.1\tQuillmarshLauncher/1.0\n"
              "http\tGET /net/http/fallback2 HTTP/1.1\tQuillmarshLauncher/1.0\n");
    EXPECT_EQ(g_http_cache.sessions_opened, sessions);  // the direct session was kept
    EXPECT_EQ(g_preferred_route, http_route::direct);
}

TEST_F(net_http, status_404_on_both_routes_fails_with_the_status) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_route(L"/net/http/missing", L"status=404&body=gone"));
    std::wstring error = L"old text";
    EXPECT_FALSE(http_get(http(L"/net/http/missing"), error));
    EXPECT_EQ(error, L"Сервер вернул код 404");
    EXPECT_EQ(test_server::hits(L"/net/http/missing"), 2u);  // both routes asked
    EXPECT_FALSE(g_preferred_route.has_value());
    // A status answer keeps the session and the connection.
    EXPECT_TRUE(g_http_cache.connection);
    EXPECT_TRUE(g_http_cache.session);
}

TEST_F(net_http, reuses_the_connection_for_one_host_and_opens_another_for_a_new_host) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_body(L"/net/http/reuse", "same"));
    std::wstring error;
    const std::uint64_t tcp_before = test_server::connections();
    ASSERT_TRUE(get(http(L"/net/http/reuse"), error)) << narrow(error);
    ASSERT_TRUE(get(http(L"/net/http/reuse"), error)) << narrow(error);
    EXPECT_EQ(g_http_cache.connections_opened, 1u);
    // At most one new TCP connection carried both (none when the platform kept an older one alive).
    EXPECT_LE(test_server::connections() - tcp_before, 1u);

    struct row {
        const wchar_t* host;
        std::uint32_t want_connections;
    };
    const row rows[] = {
        {L"localhost", 2},  // another host name for the same server
        {L"LOCALHOST", 3},  // letter case alone makes another host
        {L"LOCALHOST", 3},
        {L"127.0.0.1", 4},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow(r.host));
        ASSERT_TRUE(get(test_server::url(server.http, L"/net/http/reuse", false, r.host), error)) << narrow(error);
        EXPECT_EQ(g_http_cache.connections_opened, r.want_connections);
        EXPECT_EQ(g_http_cache.connected_host, r.host);
    }
    EXPECT_EQ(g_http_cache.sessions_opened, 1u);
}

TEST_F(net_http, a_failed_exchange_drops_the_connection_for_the_next_request) {
    ASSERT_TRUE(test_server::set_route(L"/net/http/closing", L"body=bye&close=1"));
    std::wstring error;
    ASSERT_TRUE(http_get_attempt(http(L"/net/http/closing"), http_route::direct, error)) << narrow(error);
    ASSERT_EQ(g_http_cache.connections_opened, 1u);

    // The server resets the next TCP connection: the send or the wait for the answer fails.
    ASSERT_TRUE(test_server::control(L"/reset_next?count=1"));
    EXPECT_FALSE(http_get_attempt(http(L"/net/http/closing"), http_route::direct, error));
    const bool send_or_receive = error.rfind(L"Запрос не отправлен (код ", 0) == 0 ||
                                 error.rfind(L"Нет ответа от сервера (код ", 0) == 0;
    EXPECT_TRUE(send_or_receive) << narrow(error);
    EXPECT_FALSE(g_http_cache.connection);

    ASSERT_TRUE(http_get_attempt(http(L"/net/http/closing"), http_route::direct, error)) << narrow(error);
    EXPECT_EQ(g_http_cache.connections_opened, 2u);
    EXPECT_EQ(g_http_cache.sessions_opened, 1u);  // the session outlives the failure
}

TEST_F(net_http, sets_the_certificate_option_on_https_only) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_body(L"/net/http/flags", "x"));
    struct row {
        std::wstring url;
        const char* listener;
        DWORD want_ignored;
    };
    const row rows[] = {
        {test_server::url(server.http, L"/net/http/flags"), "http", 0},
        {test_server::url(server.https, L"/net/http/flags", true), "https", 0x3300},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(narrow(r.url));
        std::wstring error;
        const http_handle request = http_get(r.url, error);
        ASSERT_TRUE(request) << narrow(error);
        DWORD flags = 0;
        DWORD size = sizeof flags;
        const bool queried = WinHttpQueryOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, &size) != FALSE;
        if (r.want_ignored != 0) {
            ASSERT_TRUE(queried);
            EXPECT_EQ(flags & 0x3300u, r.want_ignored);
        } else {
            EXPECT_EQ(queried ? flags & 0x3300u : 0u, 0u);
        }
        EXPECT_EQ(g_http_cache.connected_secure, r.want_ignored != 0);
    }
    EXPECT_EQ(test_server::log_lines_with("/net/http/flags"),
              "http\tGET /net/http/flags HTTP/1.1\tQuillmarshLauncher/1.0\n"
              "https\tGET /net/http/flags HTTP/1.1\tQuillmarshLauncher/1.0\n");
}

// The three certificates are really bad: a request without the option is refused by the platform.
TEST_F(net_http, accepts_self_signed_expired_and_mismatched_certificates) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_body(L"/net/http/tls", "secret"));
    struct row {
        const char* what;
        std::uint16_t port;
        const wchar_t* host;
    };
    const row rows[] = {
        {"self-signed", server.https, L"127.0.0.1"},
        {"expired", server.expired, L"127.0.0.1"},
        {"mismatched name", server.mismatch, L"127.0.0.1"},
        {"mismatched name via localhost", server.mismatch, L"localhost"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        // Oracle: WinHTTP without the option rejects the certificate.
        const http_handle s{WinHttpOpen(L"oracle", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0)};
        const http_handle c{WinHttpConnect(s.get(), r.host, r.port, 0)};
        const http_handle q{
            WinHttpOpenRequest(c.get(), L"GET", L"/net/http/tls", nullptr, nullptr, nullptr, WINHTTP_FLAG_SECURE)};
        const BOOL strict_ok =
            WinHttpSendRequest(q.get(), nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(q.get(), nullptr);
        EXPECT_FALSE(strict_ok) << "the certificate should be unacceptable without the option";

        std::wstring error;
        const auto body = get(test_server::url(r.port, L"/net/http/tls", true, r.host), error);
        ASSERT_TRUE(body) << narrow(error);
        EXPECT_EQ(*body, "secret");
    }
}

TEST_F(net_http, urls_over_the_buffers_fail_without_touching_the_network) {
    default_proxy none(nullptr);
    ASSERT_TRUE(test_server::set_body(L"/net/http/long", "fits"));
    const std::wstring base_path = L"/net/http/long?";
    // The path with its query may have 2047 characters; the host 255.
    const std::wstring path_2047 = base_path + std::wstring(2047 - base_path.size(), L'q');
    const std::wstring path_2048 = path_2047 + L"q";
    const std::wstring host_256(256, L'h');

    std::wstring error;
    ASSERT_TRUE(get(http(path_2047), error)) << narrow(error);

    const std::uint64_t tcp_before = test_server::connections();
    const std::uint64_t hits_before = test_server::hits(L"/net/http/long");
    const std::uint32_t sessions = g_http_cache.sessions_opened;
    const std::uint32_t connections = g_http_cache.connections_opened;
    const std::wstring bad[] = {
        http(path_2048),
        L"http://" + host_256 + L":" + std::to_wstring(server.http) + L"/net/http/long",
        L"no scheme at all",
        L"",
    };
    for (const std::wstring& url : bad) {
        SCOPED_TRACE(url.size());
        error = L"old";
        EXPECT_FALSE(http_get(url, error));
        EXPECT_EQ(error, L"Некорректный адрес загрузки");
    }
    EXPECT_EQ(test_server::connections(), tcp_before);
    EXPECT_EQ(test_server::hits(L"/net/http/long"), hits_before);
    EXPECT_EQ(g_http_cache.sessions_opened, sessions);
    EXPECT_EQ(g_http_cache.connections_opened, connections);
    EXPECT_TRUE(g_http_cache.connection);  // the cache is untouched
}

TEST_F(net_http, an_unreachable_server_reports_the_second_route_with_its_code) {
    default_proxy none(nullptr);
    std::wstring error;
    EXPECT_FALSE(http_get(L"http://127.0.0.1:9/nothing", error));
    // Port 9 refuses: WinHTTP fails the send with ERROR_WINHTTP_CANNOT_CONNECT.
    EXPECT_EQ(error, L"Запрос не отправлен (код 12029)");
    EXPECT_FALSE(g_http_cache.connection);
}

// ---- Download to file -----------------------------------------------------------------------------

// Limits far above every body these cases send.
const download_limits kRoomy{1u << 30, std::nullopt};

struct progress_log {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    download_progress callback() {
        return [this](std::uint64_t done, std::uint64_t total) { calls.emplace_back(done, total); };
    }
};

TEST_F(net_http, download_streams_the_body_and_reports_progress) {
    temp_dir dir;
    const std::wstring target = dir.file(L"body.bin");
    write_file(target, std::string(500000, 'x'));  // a longer old file is truncated
    const std::size_t size = 200000;
    ASSERT_TRUE(test_server::set_route(L"/net/dl/body", L"size=" + std::to_wstring(size)));
    progress_log progress;
    std::wstring error = L"untouched";
    ASSERT_TRUE(download_to_file(http(L"/net/dl/body"), target, kRoomy, progress.callback(), error))
        << narrow(error);
    EXPECT_EQ(error, L"untouched");
    EXPECT_EQ(read_bytes(target), test_server::pattern(size));
    ASSERT_FALSE(progress.calls.empty());
    std::uint64_t last = 0;
    for (const auto& [done, total] : progress.calls) {
        EXPECT_GT(done, last);
        EXPECT_LE(done - last, 65536u);  // one call per chunk of the 64 KiB buffer
        EXPECT_EQ(total, size);
        last = done;
    }
    EXPECT_EQ(last, size);
}

TEST_F(net_http, download_of_an_empty_body_makes_an_empty_file_without_progress) {
    temp_dir dir;
    const std::wstring target = dir.file(L"empty.bin");
    ASSERT_TRUE(test_server::set_body(L"/net/dl/empty", ""));
    progress_log progress;
    std::wstring error;
    ASSERT_TRUE(download_to_file(http(L"/net/dl/empty"), target, kRoomy, progress.callback(), error))
        << narrow(error);
    ASSERT_TRUE(exists(target));
    EXPECT_EQ(read_bytes(target), "");
    EXPECT_TRUE(progress.calls.empty());
}

TEST_F(net_http, download_without_content_length_reports_the_total_as_received) {
    temp_dir dir;
    const std::wstring target = dir.file(L"nolength.bin");
    const std::size_t size = 150000;
    ASSERT_TRUE(test_server::set_route(L"/net/dl/nolength", L"length=0&size=" + std::to_wstring(size)));
    progress_log progress;
    std::wstring error;
    ASSERT_TRUE(download_to_file(http(L"/net/dl/nolength"), target, kRoomy, progress.callback(), error))
        << narrow(error);
    EXPECT_EQ(read_bytes(target), test_server::pattern(size));
    ASSERT_FALSE(progress.calls.empty());
    for (const auto& [done, total] : progress.calls) {
        EXPECT_EQ(done, total);
        std::int32_t per_mille = 0;
        ASSERT_TRUE(progress_per_mille(done, total, per_mille));
        EXPECT_EQ(per_mille, 1000);
    }
    EXPECT_EQ(progress.calls.back().first, size);
}

TEST_F(net_http, download_of_a_slow_body_in_small_pieces_is_complete) {
    temp_dir dir;
    const std::wstring target = dir.file(L"slow.bin");
    ASSERT_TRUE(test_server::set_route(L"/net/dl/slow", L"size=5000&chunk=700&delay_ms=20"));
    std::wstring error;
    ASSERT_TRUE(download_to_file(http(L"/net/dl/slow"), target, kRoomy, {}, error)) << narrow(error);
    EXPECT_EQ(read_bytes(target), test_server::pattern(5000));
}

TEST_F(net_http, download_to_a_file_held_without_write_sharing_fails_with_code_32) {
    temp_dir dir;
    const std::wstring target = dir.file(L"held.bin");
    write_file(target, "old");
    ASSERT_TRUE(test_server::set_body(L"/net/dl/held", "new"));
    kernel_handle holder{CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)};
    ASSERT_TRUE(holder);
    std::wstring error;
    EXPECT_FALSE(download_to_file(http(L"/net/dl/held"), target, kRoomy, {}, error));
    holder.reset();
    EXPECT_EQ(error, L"Не удалось создать файл (код 32): " + target);
    EXPECT_EQ(read_bytes(target), "old");
    // The cached connection survives: the next download from the server works.
    EXPECT_TRUE(download_to_file(http(L"/net/dl/held"), dir.file(L"second.bin"), kRoomy, {}, error))
        << narrow(error);
}

TEST_F(net_http, download_broken_mid_body_deletes_the_partial_file) {
    // A reset, and a plain close before the announced length (which some stacks report as the end).
    for (const wchar_t* how : {L"drop_after", L"close_after"}) {
        SCOPED_TRACE(narrow(how));
        temp_dir dir;
        const std::wstring target = dir.file(L"broken.bin");
        const std::wstring route = std::wstring(L"/net/dl/broken-") + how;
        write_file(target, "previous contents");
        ASSERT_TRUE(test_server::set_route(route, L"size=400000&" + std::wstring(how) + L"=150000"));
        progress_log progress;
        std::wstring error;
        EXPECT_FALSE(download_to_file(http(route), target, kRoomy, progress.callback(), error));
        EXPECT_EQ(error.rfind(L"Ошибка приёма данных (код ", 0), 0u) << narrow(error);
        EXPECT_EQ(error.back(), L')');
        EXPECT_FALSE(exists(target));
        for (const auto& call : progress.calls) EXPECT_LE(call.first, 150000u);
        // The body is not retried over the other route.
        EXPECT_EQ(test_server::hits(route), 1u);
    }
}

TEST_F(net_http, download_with_another_status_never_creates_or_truncates_the_file) {
    temp_dir dir;
    const std::wstring kept = dir.file(L"kept.bin");
    const std::wstring absent = dir.file(L"absent.bin");
    write_file(kept, "keep me");
    ASSERT_TRUE(test_server::set_route(L"/net/dl/forbidden", L"status=403&body=no"));
    for (const std::wstring& target : {kept, absent}) {
        std::wstring error;
        EXPECT_FALSE(download_to_file(http(L"/net/dl/forbidden"), target, kRoomy, {}, error));
        EXPECT_EQ(error, L"Сервер вернул код 403");
    }
    EXPECT_EQ(read_bytes(kept), "keep me");
    EXPECT_FALSE(exists(absent));
}

}  // namespace
