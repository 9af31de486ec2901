// HTTP GET for the downloads: one cached WinHTTP session and connection, two routes (the system's
// proxy settings and a direct connection), the last route that worked tried first.
#include "net/net_internal.h"
#include "net/request.h"

http_cache g_http_cache;
std::optional<http_route> g_preferred_route;

namespace {

constexpr request_timeouts kTimeouts{15000, 15000, 30000, 60000};
constexpr unsigned long kPathChars = 2048;

void drop_connection() {
    g_http_cache.connection.reset();
}

}  // namespace

void reset_http_cache_for_tests() {
    g_http_cache = http_cache{};
    g_preferred_route.reset();
}

http_handle http_get_attempt(const std::wstring& url, http_route route, std::wstring& error) {
    const std::optional<url_parts> target = crack_url(url, kPathChars);
    if (!target) {
        error = L"Некорректный адрес загрузки";
        return {};
    }

    if (!g_http_cache.session || g_http_cache.session_route != route) {
        drop_connection();  // a connection never outlives its session
        g_http_cache.session = open_session(route, kTimeouts);
        if (!g_http_cache.session) {
            error = with_code(L"WinHTTP недоступен", GetLastError());
            return {};
        }
        g_http_cache.session_route = route;
        ++g_http_cache.sessions_opened;
    }

    const bool reusable = g_http_cache.connection && g_http_cache.connected_host == target->host &&
                          g_http_cache.connected_port == target->port &&
                          g_http_cache.connected_secure == target->secure;
    if (!reusable) {
        drop_connection();
        g_http_cache.connection.reset(
            WinHttpConnect(g_http_cache.session.get(), target->host.c_str(), target->port, 0));
        if (!g_http_cache.connection) {
            error = with_code(L"Не удалось подключиться к серверу", GetLastError());
            return {};
        }
        g_http_cache.connected_host = target->host;
        g_http_cache.connected_port = target->port;
        g_http_cache.connected_secure = target->secure;
        ++g_http_cache.connections_opened;
    }

    http_handle request = open_get_request(g_http_cache.connection.get(), *target, target->secure);
    if (!request) {
        const DWORD code = GetLastError();
        drop_connection();
        error = with_code(L"Не удалось создать запрос", code);
        return {};
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        const DWORD code = GetLastError();
        request.reset();  // the request goes before its connection
        drop_connection();
        error = with_code(L"Запрос не отправлен", code);
        return {};
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
        const DWORD code = GetLastError();
        request.reset();
        drop_connection();
        error = with_code(L"Нет ответа от сервера", code);
        return {};
    }

    const unsigned long status = response_status(request.get());
    if (status == 0) {
        error = L"Нет ответа от сервера";
        return {};
    }
    if (status != HTTP_STATUS_OK) {
        error = L"Сервер вернул код " + decimal(status);
        return {};
    }
    return request;
}

http_handle http_get(const std::wstring& url, std::wstring& error) {
    const http_route first =
        g_preferred_route == http_route::direct ? http_route::direct : http_route::system_proxy;
    const http_route second = first == http_route::direct ? http_route::system_proxy : http_route::direct;

    std::wstring first_error;
    if (http_handle request = http_get_attempt(url, first, first_error)) {
        g_preferred_route = first;
        return request;
    }
    std::wstring second_error;
    if (http_handle request = http_get_attempt(url, second, second_error)) {
        g_preferred_route = second;
        return request;
    }
    error = second_error;
    return {};
}
