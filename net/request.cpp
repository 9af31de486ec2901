#include "net/request.h"

namespace {

constexpr wchar_t kUserAgent[] = L"QuillmarshLauncher/1.0";
constexpr DWORD kSchemeChars = 16;
constexpr DWORD kHostChars = 256;
constexpr DWORD kIgnoredCertificateErrors = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
                                            SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                            SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
static_assert(kIgnoredCertificateErrors == 0x3300);

}  // namespace

std::optional<url_parts> crack_url(const std::wstring& url, unsigned long path_chars) {
    wchar_t scheme[kSchemeChars] = {};
    wchar_t host[kHostChars] = {};
    std::wstring path(path_chars, L'\0');
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszScheme = scheme;
    parts.dwSchemeLength = kSchemeChars;
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostChars;
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = path_chars;
    // No extra-information buffer: the path keeps its query.
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return std::nullopt;
    path.resize(wcslen(path.c_str()));
    return url_parts{host, path, parts.nPort, parts.nScheme == INTERNET_SCHEME_HTTPS};
}

http_handle open_session(http_route route, const request_timeouts& timeouts) {
    const DWORD access =
        route == http_route::direct ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    http_handle session{WinHttpOpen(kUserAgent, access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    if (session) {
        WinHttpSetTimeouts(session.get(), timeouts.resolve_ms, timeouts.connect_ms, timeouts.send_ms,
                           timeouts.receive_ms);
    }
    return session;
}

namespace {

http_handle open_request(HINTERNET connection, const wchar_t* verb, const url_parts& url, bool relax_certificates) {
    http_handle request{WinHttpOpenRequest(connection, verb, url.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0)};
    if (request && relax_certificates) {
        DWORD flags = kIgnoredCertificateErrors;
        // Without the option a self-made certificate fails the send, which then reports the reason.
        WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }
    return request;
}

}  // namespace

http_handle open_get_request(HINTERNET connection, const url_parts& url, bool relax_certificates) {
    return open_request(connection, L"GET", url, relax_certificates);
}

http_handle open_post_request(HINTERNET connection, const url_parts& url, bool relax_certificates) {
    return open_request(connection, L"POST", url, relax_certificates);
}

unsigned long response_status(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return status;
}
