// java.exe of the bridge runtime: a Windows program that runs the host machine's real Java on a Linux
// host under Wine. A Windows process cannot start and wait for a Linux program, so this one hands its
// command line, working directory and environment over loopback TCP to the bridge service
// (bridge/bridge_service.py), which starts `java` there, streams its output back and reports its exit code.
//
// Beside the program: bridge.ini, one "key=value" a line:  port=N  token=TEXT
// Arguments and the working directory that are Windows paths ("X:\..." or "X:/...") are translated to
// host paths with Wine's wine_get_unix_file_name (kernel32, looked up at run time).
//
// Request (all fields "<decimal length>:<UTF-8 bytes>,"): "QMB1", token, cwd, argument count, arguments,
// environment count, "NAME=VALUE" entries. Answer frames: one type byte ('o' output, 'e' error output,
// 'x' exit code in decimal, 'f' failure text), a 4-byte big-endian length, the bytes.
// The program lives exactly as long as the host JVM: it exits with its code once the 'x' frame arrives;
// ended early, its connection closes and the service ends the JVM.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/doubles/double.h"

namespace {

using doubles::own_directory;
using doubles::read_file;
using doubles::to_utf8;
using doubles::write_to;

constexpr int kBridgeFailure = 1;

int fail(const std::string& text) {
    write_to(STD_ERROR_HANDLE, "java.exe (bridge): " + text + "\r\n");
    return kBridgeFailure;
}

std::string ini_value(const std::string& ini, const std::string& key) {
    std::size_t pos = 0;
    std::string value;
    while (pos < ini.size()) {
        std::size_t end = ini.find('\n', pos);
        if (end == std::string::npos) end = ini.size();
        std::string line = ini.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos && line.substr(0, eq) == key) value = line.substr(eq + 1);
    }
    return value;
}

using unix_name_fn = char*(__cdecl*)(const wchar_t*);

bool looks_like_windows_path(const std::wstring& text) {
    return text.size() >= 3 && iswalpha(text[0]) && text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
}

// The host path of a Windows path, or the text unchanged when it is none or cannot be translated.
std::string host_form(const std::wstring& text, unix_name_fn unix_name) {
    if (unix_name == nullptr || !looks_like_windows_path(text)) return to_utf8(text);
    char* translated = unix_name(text.c_str());
    if (translated == nullptr) return to_utf8(text);
    std::string out(translated);
    HeapFree(GetProcessHeap(), 0, translated);
    return out;
}

void field(std::string& out, const std::string& bytes) {
    out += std::to_string(bytes.size());
    out += ':';
    out += bytes;
    out += ',';
}

// Winsock, loaded at run time (the doubles link only the shell's own Win32 libraries).
struct winsock {
    int(WSAAPI* startup)(WORD, LPWSADATA) = nullptr;
    SOCKET(WSAAPI* open)(int, int, int) = nullptr;
    int(WSAAPI* connect_to)(SOCKET, const sockaddr*, int) = nullptr;
    int(WSAAPI* send_some)(SOCKET, const char*, int, int) = nullptr;
    int(WSAAPI* receive_some)(SOCKET, char*, int, int) = nullptr;
    int(WSAAPI* close)(SOCKET) = nullptr;

    bool load() {
        HMODULE dll = LoadLibraryW(L"ws2_32.dll");
        if (dll == nullptr) return false;
        get(dll, "WSAStartup", startup);
        get(dll, "socket", open);
        get(dll, "connect", connect_to);
        get(dll, "send", send_some);
        get(dll, "recv", receive_some);
        get(dll, "closesocket", close);
        return startup && open && connect_to && send_some && receive_some && close;
    }
    template <typename F>
    static void get(HMODULE dll, const char* name, F& into) {
        into = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    }
};
winsock ws;

bool send_all(SOCKET s, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = ws.send_some(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool receive_exactly(SOCKET s, char* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const int n = ws.receive_some(s, into + got, static_cast<int>(size - got), 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int wmain() {
    const std::string ini = read_file(own_directory() + L"\\bridge.ini");
    const std::string port_text = ini_value(ini, "port");
    const std::string token = ini_value(ini, "token");
    if (port_text.empty() || token.empty()) return fail("no port or token in bridge.ini beside java.exe");
    const unsigned long port = std::strtoul(port_text.c_str(), nullptr, 10);
    if (port == 0 || port > 65535) return fail("bad port in bridge.ini: " + port_text);

    auto unix_name = reinterpret_cast<unix_name_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr) return fail("not running under Wine (no wine_get_unix_file_name)");

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return fail("cannot read the command line");

    std::wstring cwd(32768, L'\0');
    cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));

    std::string request;
    field(request, "QMB1");
    field(request, token);
    field(request, host_form(cwd, unix_name));
    field(request, std::to_string(argc > 0 ? argc - 1 : 0));
    for (int i = 1; i < argc; ++i) field(request, host_form(argv[i], unix_name));
    LocalFree(argv);
    std::vector<std::string> env;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
            if (*p != L'=') env.push_back(to_utf8(p));  // "=C:=C:\..." entries are drive state, not variables
        }
        FreeEnvironmentStringsW(block);
    }
    field(request, std::to_string(env.size()));
    for (const std::string& entry : env) field(request, entry);

    WSADATA wsa{};
    if (!ws.load() || ws.startup(MAKEWORD(2, 2), &wsa) != 0) return fail("no Winsock");
    SOCKET s = ws.open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const unsigned char port_bytes[2] = {static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port)};
    std::memcpy(&address.sin_port, port_bytes, 2);  // network byte order
    const unsigned char loopback[4] = {127, 0, 0, 1};
    std::memcpy(&address.sin_addr, loopback, 4);
    if (s == INVALID_SOCKET || ws.connect_to(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail("cannot reach the bridge service on 127.0.0.1:" + port_text);
    }
    if (!send_all(s, request)) return fail("the bridge service closed the connection");

    for (;;) {
        char head[5];
        if (!receive_exactly(s, head, sizeof head)) return fail("the bridge service ended before the JVM did");
        const std::uint32_t size = (static_cast<std::uint32_t>(static_cast<unsigned char>(head[1])) << 24) |
                                   (static_cast<std::uint32_t>(static_cast<unsigned char>(head[2])) << 16) |
                                   (static_cast<std::uint32_t>(static_cast<unsigned char>(head[3])) << 8) |
                                   static_cast<std::uint32_t>(static_cast<unsigned char>(head[4]));
        if (size > (1u << 24)) return fail("bad frame from the bridge service");
        std::string body(size, '\0');
        if (size > 0 && !receive_exactly(s, body.data(), size)) {
            return fail("the bridge service ended before the JVM did");
        }
        if (head[0] == 'o') {
            write_to(STD_OUTPUT_HANDLE, body);
        } else if (head[0] == 'e') {
            write_to(STD_ERROR_HANDLE, body);
        } else if (head[0] == 'x') {
            ws.close(s);
            return static_cast<int>(std::strtol(body.c_str(), nullptr, 10));
        } else if (head[0] == 'f') {
            return fail(body);
        } else {
            return fail("bad frame from the bridge service");
        }
    }
}
