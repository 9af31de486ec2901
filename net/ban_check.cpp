// Ban check: one GET per route, each with its own session, connection and request, and a verdict
// searched in the body.
#include "net/net.h"

#include "net/net_pure.h"
#include "shell/handle.h"

namespace {

constexpr wchar_t kUserAgent[] = L"QuillmarshLauncher/1.0";
constexpr int kResolveTimeoutMs = 10000;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 15000;
constexpr int kReceiveTimeoutMs = 30000;
constexpr DWORD kSchemeChars = 16;
constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 4096;
constexpr DWORD kReadChunk = 4096;
constexpr DWORD kIgnoredCertificateErrors = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                            SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                            SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

}  // namespace

std::optional<std::string> ban_check_request(ban_request_context& context, http_route route) {
    wchar_t scheme[kSchemeChars] = {};
    wchar_t host[kHostChars] = {};
    wchar_t path[kPathChars] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszScheme = scheme;
    parts.dwSchemeLength = kSchemeChars;
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostChars;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathChars;
    if (!WinHttpCrackUrl(context.url.c_str(), static_cast<DWORD>(context.url.size()), 0, &parts)) {
        context.error = L"Некорректный адрес проверки HWID";
        return std::nullopt;
    }

    const DWORD access =
        route == http_route::direct ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    http_handle session{WinHttpOpen(kUserAgent, access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    if (!session) {
        context.error = L"WinHTTP недоступен";
        return std::nullopt;
    }
    // Failing to shorten the time-outs leaves the platform's defaults, which still end a stall.
    WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
    http_handle connection{WinHttpConnect(session.get(), host, parts.nPort, 0)};
    if (!connection) {
        context.error = L"Нет связи с сервером";
        return std::nullopt;
    }
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    http_handle request{WinHttpOpenRequest(connection.get(), L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0)};
    if (!request) {
        context.error = L"Ошибка запроса";
        return std::nullopt;
    }
    // Set on plain HTTP too: harmless there, and a redirect to HTTPS keeps the relaxed checks.
    DWORD flags = kIgnoredCertificateErrors;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        context.error = L"Нет ответа от сервера";
        return std::nullopt;
    }

    // A failed query leaves 0, which is then reported as the status.
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);

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
        context.error = L"Сервер вернул код " + decimal(status);
        return std::nullopt;
    }
    return body;
}

ban_check_result check_hwid_ban(const std::wstring& base_url, const std::wstring& hwid, const std::wstring& sig,
                                std::wstring& error) {
    const std::wstring url = base_url + L"/launcher/hwid_ban.php?hwid=" + hwid + L"&sig=" + sig;
    ban_request_context context{url, error};
    // The route order is fixed and nothing is remembered: the check runs once per process.
    std::optional<std::string> body = ban_check_request(context, http_route::system_proxy);
    if (!body) body = ban_check_request(context, http_route::direct);
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
