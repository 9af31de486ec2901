// The request path that http_get and the ban check share: URL cracking, sessions with time-outs, and
// GET requests with the relaxed certificate checks. Private to net/.
#pragma once

#include <optional>
#include <string>

#include "net/net.h"

struct request_timeouts {
    int resolve_ms;
    int connect_ms;
    int send_ms;
    int receive_ms;
};

struct url_parts {
    std::wstring host;  // at most 255 characters
    std::wstring path;  // with the query: it goes out as the object name
    std::uint16_t port = 0;
    bool secure = false;
};

// Cracks the URL with a path of at most `path_chars` characters (the terminating NUL included);
// nothing when WinHttpCrackUrl fails.
std::optional<url_parts> crack_url(const std::wstring& url, unsigned long path_chars);

// WinHttpOpen with the user agent "QuillmarshLauncher/1.0" and the route's access type; the time-outs
// are set best effort (the platform's defaults still end a stall). Empty with the last error set.
http_handle open_session(http_route route, const request_timeouts& timeouts);

// WinHttpOpenRequest for a GET of the URL's path. With `relax_certificates` the unknown authority,
// wrong usage, name mismatch and expired date checks are off (the project's servers may use
// self-made certificates). Empty with the last error set.
http_handle open_get_request(HINTERNET connection, const url_parts& url, bool relax_certificates);
// The same for a POST of a body the caller sends (a failure report).
http_handle open_post_request(HINTERNET connection, const url_parts& url, bool relax_certificates);

// WinHttpQueryHeaders of the status code; 0 when the query fails.
unsigned long response_status(HINTERNET request);
