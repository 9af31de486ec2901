// Download to file: the body of a GET streamed through one 64 KiB buffer into the target file.
#include "net/net.h"

#include <vector>

namespace {

constexpr DWORD kChunkBytes = 65536;

std::wstring with_path(std::wstring_view reason, DWORD code, const std::wstring& path) {
    return with_code(reason, code) + L": " + path;
}

}  // namespace

bool download_to_file(const std::wstring& url, const std::wstring& path, const download_progress& progress,
                      std::wstring& error) {
    http_handle request = http_get(url, error);
    if (!request) return false;

    // A missing Content-Length is normal (the body then ends with the connection); the 32-bit number
    // query fills the low half of the zeroed value.
    std::uint64_t content_length = 0;
    DWORD size = sizeof content_length;
    const bool length_known =
        WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &content_length, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;

    kernel_handle file{
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) {
        error = with_path(L"Не удалось создать файл", GetLastError(), path);
        return false;
    }

    // Nothing half-written is left behind: the handles close first, or the delete fails on our own.
    const auto fail = [&](std::wstring text) {
        error = std::move(text);
        request.reset();
        file.reset();
        DeleteFileW(path.c_str());
        return false;
    };
    std::vector<char> buffer(kChunkBytes);
    std::uint64_t received = 0;
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), kChunkBytes, &got)) {
            return fail(with_code(L"Ошибка приёма данных", GetLastError()));
        }
        if (got == 0) {
            // A connection closed in the middle of the body can end the read like a complete one; a body
            // shorter than its announced length is a broken transfer, reported as the platform reports
            // a connection that broke.
            if (length_known && received < content_length) {
                return fail(with_code(L"Ошибка приёма данных", ERROR_WINHTTP_CONNECTION_ERROR));
            }
            return true;  // handles close on the way out; the file is complete
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer.data(), got, &written, nullptr) || written != got) {
            return fail(with_path(L"Ошибка записи файла", GetLastError(), path));
        }
        received += got;
        if (progress) progress(received, length_known ? content_length : received);
    }
}
