// Header-only client of the fault-injecting test server (tests/servers/fault_server.py) for the Windows
// tests. ctest starts the server around unit_tests and e2e_tests (fixture "fault_server") and passes its
// state folder (a Linux path) in QUILLMARSH_TEST_SERVER; the ports are in the file "ports" there.
//
//   const auto server = test_server::find();            // nothing when the fixture is not running
//   test_server::set_route(L"/mine/a.bin", L"size=1000");
//   download_to_file(test_server::url(server->http, L"/mine/a.bin"), target, {}, error);
//   test_server::hits(L"/mine/a.bin");                    // requests the server saw for the path
//
// Control requests go to a port of their own, so they never touch the connection counts or the log.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/handle.h"
#include "tests/support/support.h"

namespace test_server {

struct ports {
    std::uint16_t control = 0;
    std::uint16_t http = 0;
    std::uint16_t proxy = 0;     // plain HTTP too, logged as "proxy": use it as a client's proxy
    std::uint16_t https = 0;     // self-signed, names match
    std::uint16_t expired = 0;   // self-signed, expired
    std::uint16_t mismatch = 0;  // self-signed, issued for another name
};

inline std::wstring widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// The Windows form (Wine's Z: drive) of the server's state folder, or empty.
inline std::wstring state_dir() {
    return support::windows_path(support::own_env(L"QUILLMARSH_TEST_SERVER"));
}

inline std::optional<ports> find() {
    const std::wstring dir = state_dir();
    if (dir.empty()) return std::nullopt;
    const std::optional<std::string> text = support::read_file(dir + L"\\ports");
    if (!text) return std::nullopt;
    std::istringstream in(*text);
    ports p;
    std::string line;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string name = line.substr(0, eq);
        const auto value = static_cast<std::uint16_t>(std::stoul(line.substr(eq + 1)));
        if (name == "control") p.control = value;
        if (name == "http") p.http = value;
        if (name == "proxy") p.proxy = value;
        if (name == "https") p.https = value;
        if (name == "expired") p.expired = value;
        if (name == "mismatch") p.mismatch = value;
    }
    if (p.control == 0 || p.http == 0) return std::nullopt;
    return p;
}

inline std::wstring url(std::uint16_t port, const std::wstring& path, bool https = false,
                        const std::wstring& host = L"127.0.0.1") {
    return (https ? L"https://" : L"http://") + host + L":" + std::to_wstring(port) + path;
}

// GET on the control port; the body, or nothing when the server cannot be reached.
inline std::optional<std::string> control(const std::wstring& path_and_query) {
    const auto p = find();
    if (!p) return std::nullopt;
    std::optional<std::string> result;
    const http_handle session{WinHttpOpen(L"test-control", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                          WINHTTP_NO_PROXY_BYPASS, 0)};
    const http_handle connection{session ? WinHttpConnect(session.get(), L"127.0.0.1", p->control, 0) : nullptr};
    const http_handle request{connection ? WinHttpOpenRequest(connection.get(), L"GET", path_and_query.c_str(),
                                                              nullptr, WINHTTP_NO_REFERER,
                                                              WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                         : nullptr};
    if (request &&
        WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request.get(), nullptr)) {
        std::string body;
        char chunk[4096];
        DWORD got = 0;
        while (WinHttpReadData(request.get(), chunk, sizeof chunk, &got) && got > 0) body.append(chunk, got);
        result = body;
    }
    return result;
}

// Percent-encodes every byte outside the unreserved set (for values in control queries).
inline std::wstring encode(const std::string& value) {
    static const char hex[] = "0123456789ABCDEF";
    std::wstring out;
    for (unsigned char c : value) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~' || c == '/') {
            out.push_back(static_cast<wchar_t>(c));
        } else {
            out.push_back(L'%');
            out.push_back(static_cast<wchar_t>(hex[c >> 4]));
            out.push_back(static_cast<wchar_t>(hex[c & 15]));
        }
    }
    return out;
}

// Route for `path`: `options` is the rest of the query, e.g. L"status=404" or L"size=10&drop_after=5".
inline bool set_route(const std::wstring& path, const std::wstring& options) {
    std::string narrow(path.begin(), path.end());
    return control(L"/set?path=" + encode(narrow) + (options.empty() ? L"" : L"&" + options)).has_value();
}

inline bool set_body(const std::wstring& path, const std::string& body, int status = 200) {
    return set_route(path, L"status=" + std::to_wstring(status) + L"&body=" + encode(body));
}

// Lets the bodies of a route set with hold=1 go.
inline bool release(const std::wstring& path) {
    return control(L"/release?path=" + encode(std::string(path.begin(), path.end()))).has_value();
}

inline std::uint64_t number(const std::wstring& request) {
    const auto text = control(request);
    return text && !text->empty() ? std::stoull(*text) : 0;
}

inline std::uint64_t connections() {
    return number(L"/connections");
}

inline std::uint64_t hits(const std::wstring& path) {
    return number(L"/hits?path=" + encode(std::string(path.begin(), path.end())));
}

// Every request so far: listener TAB request line TAB User-Agent, one per line.
inline std::string request_log() {
    return control(L"/log").value_or("");
}

// Lines of the log whose request line contains `needle`.
inline std::string log_lines_with(const std::string& needle) {
    std::istringstream in(request_log());
    std::string line;
    std::string out;
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos) out += line + "\n";
    }
    return out;
}

// A request with a body that the server kept: its X-Quillmarsh-Mac header and the body's bytes.
struct post_seen {
    std::string mac;
    std::string body;
};

// The requests with a body for `path`, in the order they came.
inline std::vector<post_seen> posts(const std::wstring& path) {
    std::istringstream in(control(L"/posts?path=" + encode(std::string(path.begin(), path.end()))).value_or(""));
    std::vector<post_seen> out;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        post_seen post{line.substr(0, tab), {}};
        for (std::size_t i = tab + 1; i + 1 < line.size(); i += 2) {
            post.body.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
        }
        out.push_back(std::move(post));
    }
    return out;
}

// The server's pattern body of `size` bytes: byte i is i % 251.
inline std::string pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i % 251);
    return out;
}

}  // namespace test_server
