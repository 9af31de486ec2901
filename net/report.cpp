// Failure report: the log's tail, the versions, the masked body and its HMAC, one POST.
#include <windows.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "net/net.h"
#include "net/request.h"

namespace {

constexpr request_timeouts kTimeouts{kReportTimeoutMs, kReportTimeoutMs, kReportTimeoutMs, kReportTimeoutMs};
constexpr unsigned long kPathChars = 2048;
// 64 lines of at most 1000 bytes each fit in this window with room to spare; a longer line is cut to
// 1000 bytes anyway. The window's first line may be the cut-off end of a line and is not used.
constexpr LONGLONG kLogWindow = 128 * 1024;

// The end of the log file, or nothing when it cannot be read. `whole`: the text is the whole file.
std::string read_log_tail(const std::wstring& path, bool& whole) {
    // The log is appended by the other threads while this reads: share everything.
    kernel_handle file{CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    whole = true;
    if (!file) return {};
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return {};
    LARGE_INTEGER start{};
    start.QuadPart = size.QuadPart > kLogWindow ? size.QuadPart - kLogWindow : 0;
    whole = start.QuadPart == 0;
    if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) return {};
    std::string text(static_cast<std::size_t>(size.QuadPart - start.QuadPart), '\0');
    DWORD got = 0;
    if (!ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) return {};
    text.resize(got);
    return text;
}

// The program file's version, from its own version resource (no version.dll needed).
std::string shell_version() {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // VS_VERSION_INFO, RT_VERSION
    if (found == nullptr) return "0.0.0.0";
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) return "0.0.0.0";
    const std::string text =
        file_version_text(std::string_view(static_cast<const char*>(data), SizeofResource(nullptr, found)));
    return text.empty() ? "0.0.0.0" : text;
}

// The version Windows really is: GetVersionExW answers what the manifest declares, RtlGetVersion does not.
std::string windows_version() {
    using rtl_get_version = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto get = reinterpret_cast<rtl_get_version>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (get == nullptr || get(&info) != 0) return "0.0.0";
    return decimal_text(info.dwMajorVersion) + "." + decimal_text(info.dwMinorVersion) + "." +
           decimal_text(info.dwBuildNumber);
}

}  // namespace

bool send_failure_report(const failure_report& report, std::wstring& error) {
    const std::string profile = to_utf8(report.profile);
    std::vector<std::string> names;
    for (const std::wstring& name : report.user_names) names.push_back(to_utf8(name));

    bool whole = true;
    const std::string tail = read_log_tail(report.log_path, whole);
    report_fields fields;
    for (const std::string& line : last_log_lines(tail, whole, kReportLogLines)) {
        fields.log.push_back(redact_personal(line, profile, names));
    }
    fields.hwid = to_utf8(report.hwid);
    fields.sig = to_utf8(report.sig);
    fields.code = report.code;
    fields.shell_version = shell_version();
    fields.windows_version = windows_version();
    fields.text = redact_personal(to_utf8(report.text), profile, names);
    const std::string body = report_body(fields);
    const std::wstring headers = L"Content-Type: application/json\r\nX-Quillmarsh-Mac: " +
                                 hex_lower(hmac_sha256(report.key, body)) + L"\r\n";

    const std::optional<url_parts> target = crack_url(report.url, kPathChars);
    if (!target) {
        error = L"Некорректный адрес отчёта";
        return false;
    }
    http_handle session = open_session(http_route::system_proxy, kTimeouts);
    if (!session) {
        error = with_code(L"WinHTTP недоступен", GetLastError());
        return false;
    }
    http_handle connection{WinHttpConnect(session.get(), target->host.c_str(), target->port, 0)};
    if (!connection) {
        error = with_code(L"Нет связи с сервером", GetLastError());
        return false;
    }
    http_handle request = open_post_request(connection.get(), *target, true);
    if (!request) {
        error = with_code(L"Ошибка запроса", GetLastError());
        return false;
    }
    // The body is at most 16 KiB: it goes with the request in one call.
    if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                            static_cast<DWORD>(body.size()), 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        error = with_code(L"Нет ответа от сервера", GetLastError());
        return false;
    }
    // The answer's body says nothing the shell acts on; it is not read.
    const unsigned long status = response_status(request.get());
    if (status != HTTP_STATUS_OK) {
        error = L"Сервер вернул код " + decimal(status);
        return false;
    }
    return true;
}
