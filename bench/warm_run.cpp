// Warm-run benchmark: how long the shell takes from its process start to the start of the client, when
// the built-in Java 17 is present and the launcher jar is unchanged (the run every player makes daily).
//
//   warm_run.exe bench <shell.exe> <work folder> <runs> <base url> <jar url>
//
// The program is also its own stand-in Java runtime: copied to <launcher>\Java17\jdk-17\bin\java.exe,
// it answers "-version" with exit code 0 and, started with "-jar", writes the moment it started (system
// time, 100 ns units, the same clock in every process) and its pid to standard output, which the shell
// sends to java_console.log, then stays alive as a healthy client does.
//
// The player's roaming folder is pointed at <work folder>\roaming for the duration (and restored), so the
// launcher directory is <work folder>\roaming\.quillmarsh\launcher. Run 0 installs the jar and is not
// counted. Output: one line per run and a summary, in milliseconds.
//
// After each counted shell run comes one run of the floor: only the work no warm run can avoid, with
// the same platform calls, on the same machine at nearly the same moment. Its parts: a process start
// up to its first instruction, twice (the shell's own and the client's); one probe process
// ("java -version") run to its end; the ban check GET; the jar GET into a file in 64 KiB chunks; the
// SHA-256 of both jars. The summary gives both medians and their ratio.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/handle.h"
#include "device/device.h"
#include "net/net.h"

namespace {

std::uint64_t now_100ns() {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::wstring own_path() {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    return buffer;
}

std::string read_file(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string out;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) out.append(chunk, got);
    CloseHandle(file);
    return out;
}

// First instruction of a started copy: its moment goes to standard output, then it ends.
int act_as_mark() {
    const std::string line = "mark=" + std::to_string(now_100ns()) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return 0;
}

int act_as_client() {
    const std::string line = "client_start=" + std::to_string(now_100ns()) +
                             " pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    Sleep(60000);  // the benchmark ends it long before
    return 0;
}

// HKCU "User Shell Folders" values, set for the benchmark and put back afterwards.
class profile_redirect {
public:
    profile_redirect(const std::wstring& roaming, const std::wstring& local) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
        save_and_set(L"AppData", roaming, saved_[0]);
        save_and_set(L"Local AppData", local, saved_[1]);
    }
    ~profile_redirect() {
        const wchar_t* names[2] = {L"AppData", L"Local AppData"};
        for (int i = 0; i < 2; ++i) {
            if (saved_[i].present) {
                RegSetValueExW(key_, names[i], 0, saved_[i].type, saved_[i].data.data(),
                               static_cast<DWORD>(saved_[i].data.size()));
            } else {
                RegDeleteValueW(key_, names[i]);
            }
        }
        if (key_ != nullptr) RegCloseKey(key_);
    }

private:
    static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    struct saved_value {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    void save_and_set(const wchar_t* name, const std::wstring& value, saved_value& saved) {
        DWORD size = 0;
        if (RegQueryValueExW(key_, name, nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
            saved.data.resize(size);
            saved.present =
                RegQueryValueExW(key_, name, nullptr, &saved.type, saved.data.data(), &size) == ERROR_SUCCESS;
        }
        RegSetValueExW(key_, name, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    HKEY key_ = nullptr;
    saved_value saved_[2];
};

void end_client(DWORD pid, const std::wstring& image) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return;
    wchar_t name[32768] = {};
    DWORD size = 32768;
    if (QueryFullProcessImageNameW(process, 0, name, &size) && lstrcmpiW(name, image.c_str()) == 0) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
    }
    CloseHandle(process);
}

// ---- The floor -------------------------------------------------------------------------------------

// Starts this program with `argument`, its standard output into `output`; the started process.
process_handles start_self(const std::wstring& argument, HANDLE output) {
    std::wstring command_line = L"\"" + own_path() + L"\" " + argument;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
        return {};
    }
    return process_handles(info);
}

// Milliseconds from CreateProcessW to the started copy's first instruction; negative on failure.
double process_start_ms(const std::wstring& work) {
    const std::wstring mark_file = work + L"\\floor_mark.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    kernel_handle out{CreateFileW(mark_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                                  nullptr)};
    const std::uint64_t t0 = now_100ns();
    process_handles child = start_self(L"-mark", out.get());
    if (!child.process) return -1;
    WaitForSingleObject(child.process.get(), 60000);
    out.reset();
    unsigned long long t1 = 0;
    if (std::sscanf(read_file(mark_file).c_str(), "mark=%llu", &t1) != 1) return -1;
    return static_cast<double>(t1 - t0) / 10000.0;
}

// Milliseconds of one probe process ("-version") from CreateProcessW to its end.
double probe_ms() {
    const std::uint64_t t0 = now_100ns();
    process_handles child = start_self(L"-version", nullptr);
    if (!child.process) return -1;
    WaitForSingleObject(child.process.get(), 60000);
    return static_cast<double>(now_100ns() - t0) / 10000.0;
}

// One GET with a session, connection and request of its own; the body goes to `sink` in 64 KiB chunks.
template <typename Sink>
bool get(const std::wstring& url, Sink sink) {
    wchar_t host[256] = {};
    std::wstring path(4096, L'\0');
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path.data();
    parts.dwUrlPathLength = 4096;
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    http_handle session{WinHttpOpen(L"QuillmarshLauncher/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    http_handle connection{session ? WinHttpConnect(session.get(), host, parts.nPort, 0) : nullptr};
    http_handle request{connection ? WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                   : nullptr};
    if (!request || !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                        0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    std::vector<char> chunk(65536);
    DWORD got = 0;
    while (WinHttpReadData(request.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got) && got > 0) {
        if (!sink(chunk.data(), got)) return false;
    }
    return true;
}

double since_ms(std::uint64_t t0) {
    return static_cast<double>(now_100ns() - t0) / 10000.0;
}

// One floor run in milliseconds; negative when a part failed.
double floor_run(const std::wstring& work, const std::wstring& base_url, const std::wstring& jar_url,
                 const std::wstring& local_jar) {
    double total = 0;
    const double shell_start = process_start_ms(work);
    const double probe = probe_ms();

    static const std::wstring hwid = hex_lower(sha256_bytes("floor"));
    static const std::wstring sig = sign_hwid(hwid);
    std::uint64_t t = now_100ns();
    std::string body;
    const bool ban = get(base_url + L"/launcher/hwid_ban.php?hwid=" + hwid + L"&sig=" + sig,
                         [&](const char* data, DWORD size) { body.append(data, size); return true; });
    const double ban_ms = since_ms(t);

    const std::wstring downloaded = work + L"\\floor_jar.tmp";
    t = now_100ns();
    bool jar = false;
    {
        kernel_handle file{CreateFileW(downloaded.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr)};
        jar = file && get(jar_url, [&](const char* data, DWORD size) {
                  DWORD written = 0;
                  return WriteFile(file.get(), data, size, &written, nullptr) && written == size;
              });
    }
    const double jar_ms = since_ms(t);

    t = now_100ns();
    const bool digests = sha256_file(local_jar).has_value() && sha256_file(downloaded).has_value();
    const double digest_ms = since_ms(t);
    DeleteFileW(downloaded.c_str());

    const double client_start = process_start_ms(work);
    if (shell_start < 0 || probe < 0 || !ban || !jar || !digests || client_start < 0) return -1;
    total = shell_start + probe + ban_ms + jar_ms + digest_ms + client_start;
    std::printf("  floor: starts %.1f + %.1f, probe %.1f, ban GET %.1f, jar GET %.1f, SHA-256 x2 %.1f = %.1f ms\n",
                shell_start, client_start, probe, ban_ms, jar_ms, digest_ms, total);
    return total;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int bench(const std::wstring& shell, const std::wstring& work, int runs, const std::wstring& base_url,
          const std::wstring& jar_url) {
    const std::wstring roaming = work + L"\\roaming";
    const std::wstring local = work + L"\\local";
    const std::wstring launcher = roaming + L"\\.quillmarsh\\launcher";
    const std::wstring java_bin = launcher + L"\\Java17\\jdk-17\\bin";
    for (const std::wstring& dir : {roaming, local, roaming + L"\\.quillmarsh", launcher, launcher + L"\\Java17",
                                    launcher + L"\\Java17\\jdk-17", java_bin}) {
        CreateDirectoryW(dir.c_str(), nullptr);
    }
    const std::wstring java = java_bin + L"\\java.exe";
    if (!CopyFileW(own_path().c_str(), java.c_str(), FALSE)) {
        std::fprintf(stderr, "cannot install the stand-in Java runtime (code %lu)\n", GetLastError());
        return 1;
    }
    profile_redirect redirect(roaming, local);

    std::vector<double> overhead;
    std::vector<double> whole;
    std::vector<double> floors;
    std::vector<double> ratios;
    for (int run = 0; run <= runs; ++run) {
        std::wstring command_line = L"\"" + shell + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        const std::uint64_t t0 = now_100ns();
        if (!CreateProcessW(shell.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, work.c_str(),
                            &startup, &info)) {
            std::fprintf(stderr, "cannot start the shell (code %lu)\n", GetLastError());
            return 1;
        }
        const DWORD waited = WaitForSingleObject(info.hProcess, 120000);
        const std::uint64_t t2 = now_100ns();
        DWORD code = 1;
        GetExitCodeProcess(info.hProcess, &code);
        if (waited != WAIT_OBJECT_0) TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);

        const std::string console = read_file(launcher + L"\\java_console.log");
        unsigned long long t1 = 0;
        unsigned long pid = 0;
        if (std::sscanf(console.c_str(), "client_start=%llu pid=%lu", &t1, &pid) != 2 || waited != WAIT_OBJECT_0 ||
            code != 0) {
            std::fprintf(stderr, "run %d: no client start seen (exit code %lu); see %ls\\launcher.log\n", run, code,
                         launcher.c_str());
            return 1;
        }
        end_client(static_cast<DWORD>(pid), java);
        const double to_client = static_cast<double>(t1 - t0) / 10000.0;
        const double to_exit = static_cast<double>(t2 - t0) / 10000.0;
        std::printf("run %d%s: process start -> client start %.1f ms, -> shell exit %.1f ms\n", run,
                    run == 0 ? " (installs the jar, not counted)" : "", to_client, to_exit);
        if (run > 0) {
            overhead.push_back(to_client);
            whole.push_back(to_exit);
            const double floor = floor_run(work, base_url, jar_url, launcher + L"\\QuillmarshLauncher.jar");
            if (floor < 0) {
                std::fprintf(stderr, "run %d: the floor run failed\n", run);
                return 1;
            }
            floors.push_back(floor);
            ratios.push_back(to_client / floor);
        }
    }
    const std::string log = read_file(launcher + L"\\launcher.log");
    const std::string unchanged = "\xD0\xBE\xD0\xB1\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBB\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5 "
                                  "\xD0\xBD\xD0\xB5 \xD1\x82\xD1\x80\xD0\xB5\xD0\xB1\xD1\x83\xD0\xB5\xD1\x82\xD1\x81"
                                  "\xD1\x8F";  // "обновление не требуется"
    std::size_t warm = 0;
    for (std::size_t at = log.find(unchanged); at != std::string::npos; at = log.find(unchanged, at + 1)) ++warm;
    if (static_cast<int>(warm) < runs) {
        std::fprintf(stderr, "only %zu of %d runs found the jar unchanged: not a warm run\n", warm, runs);
        return 1;
    }
    std::printf("shell, process start -> client start (warm, %d runs): median %.1f ms, min %.1f ms, max %.1f ms\n",
                runs, median(overhead), *std::min_element(overhead.begin(), overhead.end()),
                *std::max_element(overhead.begin(), overhead.end()));
    std::printf("shell, process start -> exit (includes the 2500 ms grace period): median %.1f ms\n", median(whole));
    std::printf("floor, the same work alone (%d runs): median %.1f ms, min %.1f ms, max %.1f ms\n", runs,
                median(floors), *std::min_element(floors.begin(), floors.end()),
                *std::max_element(floors.begin(), floors.end()));
    // Each shell run is paired with the floor run right after it, so a machine that is busier for a
    // while slows both sides of a pair alike.
    std::printf("ratio shell/floor: median of the paired ratios %.2f (ratio of the medians %.2f)\n", median(ratios),
                median(overhead) / median(floors));
    std::printf("median_to_client_ms=%.1f\n", median(overhead));  // read by warm_run.sh
    return 0;
}

}  // namespace

int wmain() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return 2;
    std::vector<std::wstring> args(argv, argv + argc);
    LocalFree(argv);
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"-version") return 0;
        if (args[i] == L"-mark") return act_as_mark();
        if (args[i] == L"-jar") return act_as_client();
    }
    if (args.size() == 7 && args[1] == L"bench") {
        const int runs = std::max(1, _wtoi(args[4].c_str()));
        return bench(args[2], args[3], runs, args[5], args[6]);
    }
    std::fprintf(stderr, "usage: warm_run.exe bench <shell.exe> <work folder> <runs> <base url> <jar url>\n");
    return 2;
}
