// HTTP GET for the downloads: one cached WinHTTP session and connection, two routes (the system's
// proxy settings and a direct connection), the last route that worked tried first.
#include "net/net.h"

#include "shell/handle.h"

http_cache g_http_cache;
std::optional<http_route> g_preferred_route;

namespace {

constexpr wchar_t kUserAgent[] = L"QuillmarshLauncher/1.0";
constexpr int kResolveTimeoutMs = 15000;
constexpr int kConnectTimeoutMs = 15000;
constexpr int kSendTimeoutMs = 30000;
constexpr int kReceiveTimeoutMs = 60000;
constexpr DWORD kSchemeChars = 16;
constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 2048;
// Unknown authority, wrong usage, name mismatch and expired dates: the project's servers may use
// self-made certificates.
constexpr DWORD kIgnoredCertificateErrors = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                            SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                            SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
static_assert(kIgnoredCertificateErrors == 0x3300);

// Closing must not change the last error the caller is about to read.
void close_keeping_error(HINTERNET handle) {
    if (handle == nullptr) return;
    const DWORD saved = GetLastError();
    WinHttpCloseHandle(handle);
    SetLastError(saved);
}

void drop_connection() {
    close_keeping_error(g_http_cache.connection);
    g_http_cache.connection = nullptr;
    g_http_cache.connection_valid = false;
}

DWORD access_type(http_route route) {
    return route == http_route::direct ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
}

}  // namespace

void reset_http_cache_for_tests() {
    drop_connection();
    close_keeping_error(g_http_cache.session);
    g_http_cache = http_cache{};
    g_preferred_route.reset();
}

bool http_get_attempt(const std::wstring& url, http_route route, HINTERNET& request_out, std::wstring& error_out) {
    request_out = nullptr;

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
    // No extra-information buffer: the path keeps its query and goes out as the object name.
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        error_out = L"Некорректный адрес загрузки";
        return false;
    }
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    const INTERNET_PORT port = parts.nPort;

    if (g_http_cache.session == nullptr || g_http_cache.session_route != route) {
        close_keeping_error(g_http_cache.session);
        g_http_cache.session = nullptr;
        drop_connection();
        g_http_cache.session =
            WinHttpOpen(kUserAgent, access_type(route), WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (g_http_cache.session == nullptr) {
            error_out = with_code(L"WinHTTP недоступен", GetLastError());
            return false;
        }
        // Failing to shorten the time-outs leaves the platform's defaults, which still end a stall.
        WinHttpSetTimeouts(g_http_cache.session, kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                           kReceiveTimeoutMs);
        g_http_cache.session_route = route;
        ++g_http_cache.sessions_opened;
    }

    const bool reusable = g_http_cache.connection_valid && g_http_cache.connection != nullptr &&
                          g_http_cache.connected_host == host && g_http_cache.connected_port == port &&
                          g_http_cache.connected_secure == secure;
    if (!reusable) {
        drop_connection();
        g_http_cache.connection = WinHttpConnect(g_http_cache.session, host, port, 0);
        if (g_http_cache.connection == nullptr) {
            error_out = with_code(L"Не удалось подключиться к серверу", GetLastError());
            return false;
        }
        g_http_cache.connected_host = host;
        g_http_cache.connected_port = port;
        g_http_cache.connected_secure = secure;
        g_http_cache.connection_valid = true;
        ++g_http_cache.connections_opened;
    }

    http_handle request{WinHttpOpenRequest(g_http_cache.connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0)};
    if (!request) {
        const DWORD code = GetLastError();
        drop_connection();
        error_out = with_code(L"Не удалось создать запрос", code);
        return false;
    }
    if (secure) {
        DWORD flags = kIgnoredCertificateErrors;
        // Without the option a self-made certificate fails the send, which then reports the reason.
        WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        const DWORD code = GetLastError();
        request.reset();  // the request goes before its connection
        drop_connection();
        error_out = with_code(L"Запрос не отправлен", code);
        return false;
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
        const DWORD code = GetLastError();
        request.reset();
        drop_connection();
        error_out = with_code(L"Нет ответа от сервера", code);
        return false;
    }

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        error_out = L"Нет ответа от сервера";
        return false;
    }
    if (status != HTTP_STATUS_OK) {
        error_out = L"Сервер вернул код " + decimal(status);
        return false;
    }
    request_out = request.release();
    return true;
}

bool http_get(const std::wstring& url, HINTERNET& request_out, std::wstring& error_out) {
    request_out = nullptr;
    const http_route first =
        g_preferred_route == http_route::direct ? http_route::direct : http_route::system_proxy;
    const http_route second = first == http_route::direct ? http_route::system_proxy : http_route::direct;

    if (http_get_attempt(url, first, request_out, error_out)) {
        g_preferred_route = first;
        return true;
    }
    std::wstring second_error;
    if (http_get_attempt(url, second, request_out, second_error)) {
        g_preferred_route = second;
        return true;
    }
    error_out = second_error;
    return false;
}
