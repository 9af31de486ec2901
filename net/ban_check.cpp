// Ban check: one GET per route, each with its own session, connection and request, and a verdict
// searched in the body.
#include "net/net_internal.h"
#include "net/request.h"

namespace {

constexpr request_timeouts kTimeouts{10000, 10000, 15000, 30000};
constexpr unsigned long kPathChars = 4096;
constexpr DWORD kReadChunk = 4096;

}  // namespace

std::optional<std::string> ban_check_request(const std::wstring& url, http_route route, std::wstring& error) {
    const std::optional<url_parts> target = crack_url(url, kPathChars);
    if (!target) {
        error = L"Некорректный адрес проверки HWID";
        return std::nullopt;
    }
    http_handle session = open_session(route, kTimeouts);
    if (!session) {
        error = L"WinHTTP недоступен";
        return std::nullopt;
    }
    http_handle connection{WinHttpConnect(session.get(), target->host.c_str(), target->port, 0)};
    if (!connection) {
        error = L"Нет связи с сервером";
        return std::nullopt;
    }
    // Relaxed on plain HTTP too: harmless there, and a redirect to HTTPS keeps the relaxed checks.
    http_handle request = open_get_request(connection.get(), *target, true);
    if (!request) {
        error = L"Ошибка запроса";
        return std::nullopt;
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        error = L"Нет ответа от сервера";
        return std::nullopt;
    }

    // A failed query gives 0, which is then reported as the status.
    const unsigned long status = response_status(request.get());

    // A broken read ends the body: what arrived is still searched. The body is capped, so a server
    // that never stops sending cannot exhaust the shell's memory; the verdict sits at the start.
    std::string body;
    char chunk[kReadChunk];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), chunk, kReadChunk, &got) || got == 0) break;
        if (!append_within_limit(body, std::string_view(chunk, got), kBanBodyLimit)) break;
    }
    // Handles close in reverse order on return: request, connection, session.
    if (status != HTTP_STATUS_OK) {
        error = L"Сервер вернул код " + decimal(status);
        return std::nullopt;
    }
    return body;
}

ban_check_result check_hwid_ban(const std::wstring& base_url, const std::wstring& hwid, const std::wstring& sig,
                                std::wstring& error) {
    const std::wstring url = base_url + L"/launcher/hwid_ban.php?hwid=" + hwid + L"&sig=" + sig;
    // The route order is fixed and nothing is remembered: the check runs once per process.
    std::optional<std::string> body = ban_check_request(url, http_route::system_proxy, error);
    if (!body) body = ban_check_request(url, http_route::direct, error);
    if (!body) return {};

    switch (match_verdict(*body)) {
    case verdict::banned:
        return {true, true};
    case verdict::not_banned:
        return {false, true};
    case verdict::none:
        break;
    }
    error = L"Неожиданный ответ сервера проверки HWID";
    return {};
}
