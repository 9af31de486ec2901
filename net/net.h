// Server communication and integrity: HTTP session and requests, downloads, the ban check, digests.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "shell/shell_pure.h"

// ---- Digests ------------------------------------------------------------------------------------

using sha256_digest = std::array<std::uint8_t, 32>;

// SHA-256 of a file read in 1 MiB pieces; nothing when the file cannot be opened or read, or the
// provider fails.
std::optional<sha256_digest> sha256_file(const std::wstring& path);
// 64 lower-case hex characters of sha256_file; nothing when that gives nothing.
std::optional<std::wstring> sha256_file_hex(const std::wstring& path);
std::wstring hex_lower(const sha256_digest& digest);
// SHA-256 of the bytes; 32 zero bytes when the provider cannot be used.
sha256_digest sha256_bytes(std::string_view bytes);
// HMAC-SHA256 with a 64-byte block; keys over 64 bytes are hashed first.
sha256_digest hmac_sha256(std::string_view key, std::string_view message);

// ---- HTTP session and request -------------------------------------------------------------------

enum class http_route { system_proxy, direct };

// The session and the connection that consecutive downloads share. Used only by the worker thread
// (through http_get); never closed before the process ends, the handles die with it.
struct http_cache {
    HINTERNET session = nullptr;
    http_route session_route = http_route::system_proxy;
    HINTERNET connection = nullptr;
    std::wstring connected_host;  // at most 255 characters, compared case-sensitively
    std::uint16_t connected_port = 0;
    bool connected_secure = false;
    bool connection_valid = false;
    // How many sessions and connections were opened so far (diagnostics and tests).
    std::uint32_t sessions_opened = 0;
    std::uint32_t connections_opened = 0;
};
extern http_cache g_http_cache;
// The route of the last successful http_get; nothing until one succeeded. Worker thread only.
extern std::optional<http_route> g_preferred_route;
// Internal, for tests: closes the cached handles and forgets the preferred route.
void reset_http_cache_for_tests();

// GET over the remembered route first, then the other. On success `request_out` holds an open
// request positioned at the body of a 200 response (the caller reads and closes it).
bool http_get(const std::wstring& url, HINTERNET& request_out, std::wstring& error_out);
// One attempt over one route; only http_get calls it.
bool http_get_attempt(const std::wstring& url, http_route route, HINTERNET& request_out, std::wstring& error_out);

// ---- Download to file ---------------------------------------------------------------------------

// Streams the body of a GET into `path` through a 64 KiB buffer, reporting progress after each chunk.
// True when the whole body is in the file; a file it created is complete or deleted.
bool download_to_file(const std::wstring& url, const std::wstring& path, const download_progress& progress,
                      std::wstring& error);

// ---- Ban check ----------------------------------------------------------------------------------

struct ban_check_result {
    bool banned = false;
    bool answered = false;
};

struct ban_request_context {
    const std::wstring& url;
    std::wstring& error;
};

// Asks base + "/launcher/hwid_ban.php?hwid=" + hwid + "&sig=" + sig, over the system proxy and then
// directly. `error` is meaningful only when `answered` is false.
ban_check_result check_hwid_ban(const std::wstring& base_url, const std::wstring& hwid, const std::wstring& sig,
                                std::wstring& error);
// One request with its own session; the body of a 200 response, or nothing with the reason.
std::optional<std::string> ban_check_request(ban_request_context& context, http_route route);
