// What only the net module's tests see: the request cache, single attempts and single ban requests.
#pragma once

#include "net/net.h"

// The session and the connection that consecutive downloads share. Used only by the worker thread
// (through http_get); they live until the process ends.
struct http_cache {
    http_handle session;
    http_route session_route = http_route::system_proxy;
    http_handle connection;  // declared after the session: it closes first
    std::wstring connected_host;  // at most 255 characters, compared case-sensitively
    std::uint16_t connected_port = 0;
    bool connected_secure = false;
    // How many sessions and connections were opened so far (diagnostics and tests).
    std::uint32_t sessions_opened = 0;
    std::uint32_t connections_opened = 0;
};
extern http_cache g_http_cache;
// The route of the last successful http_get; nothing until one succeeded. Worker thread only.
extern std::optional<http_route> g_preferred_route;
// Closes the cached handles and forgets the preferred route.
void reset_http_cache_for_tests();

// One attempt of http_get over one route.
http_handle http_get_attempt(const std::wstring& url, http_route route, std::wstring& error);

// One ban check request with its own session; the body of a 200 response, or nothing with the reason.
std::optional<std::string> ban_check_request(const std::wstring& url, http_route route, std::wstring& error);

// Called with a download's path once its body is complete and before its bytes are used: before
// install_download renames it, and inside hold_for_reading between the writing handle's close and the
// reading handle's open (the one moment the file is not held). Null in the product; tests use it to
// act as another program that tries to change the file. Worker thread only.
using downloaded_file_hook = void (*)(const std::wstring& path);
extern downloaded_file_hook g_downloaded_file_hook;
