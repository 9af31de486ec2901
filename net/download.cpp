// Download to file: the body of a GET streamed through one 64 KiB buffer into the target file, hashed
// on the way, within the caller's size limits; and what happens to the file afterwards, always through
// the handle that wrote it while it is held.
#include "net/net_internal.h"

#include <cstring>
#include <vector>

downloaded_file_hook g_downloaded_file_hook = nullptr;

namespace {

constexpr DWORD kChunkBytes = 65536;

std::wstring with_path(std::wstring_view reason, DWORD code, const std::wstring& path) {
    return with_code(reason, code) + L": " + path;
}

// The Content-Length header as a 64-bit number; nothing when there is none or it is no plain number.
// The header's text is read, not WINHTTP_QUERY_FLAG_NUMBER, whose value is 32 bits wide.
std::optional<std::uint64_t> announced_length(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;  // bytes, the NUL included
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;  // missing, or longer than any number of 64 bits can be
    }
    return parse_content_length(std::wstring_view(text, size / sizeof(wchar_t)));
}

// Marks the file for deletion through the handle, so only the file we wrote goes, then closes it.
void delete_through(kernel_handle& file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
    file.reset();
}

}  // namespace

std::optional<downloaded_file> download_to_file(const std::wstring& url, const std::wstring& path,
                                                const download_limits& limits, const download_progress& progress,
                                                std::wstring& error) {
    http_handle request = http_get(url, error);
    if (!request) return std::nullopt;

    // A missing Content-Length is normal (the body then ends with the connection).
    const std::optional<std::uint64_t> content_length = announced_length(request.get());
    if (std::optional<std::wstring> refusal = announced_length_refusal(content_length, limits)) {
        error = std::move(*refusal);
        return std::nullopt;
    }

    // Delete access: a refused body is deleted, and a kept one renamed, through this very handle.
    downloaded_file download;
    download.path = path;
    download.file.reset(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!download.file) {
        error = with_path(L"Не удалось создать файл", GetLastError(), path);
        return std::nullopt;
    }

    // Nothing half-written is left behind; the request goes first, it may hold the connection open.
    const auto fail = [&](std::wstring text) -> std::optional<downloaded_file> {
        error = std::move(text);
        request.reset();
        delete_through(download.file);
        return std::nullopt;
    };
    // The announced length bounds the body too: some WinHTTP versions read a response that closes its
    // connection on to the end, past a length that was announced too small.
    download_limits body_limits = limits;
    if (content_length && !body_limits.exact_bytes) body_limits.exact_bytes = content_length;
    sha256_stream hash = sha256_start();
    std::vector<char> buffer(kChunkBytes);
    std::uint64_t received = 0;
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), kChunkBytes, &got)) {
            return fail(with_code(L"Ошибка приёма данных", GetLastError()));
        }
        if (got == 0) break;
        // Checked before the write: bytes past a limit never reach the disk.
        if (std::optional<std::wstring> refusal = received_length_refusal(received + got, body_limits)) {
            return fail(std::move(*refusal));
        }
        DWORD written = 0;
        if (!WriteFile(download.file.get(), buffer.data(), got, &written, nullptr) || written != got) {
            return fail(with_path(L"Ошибка записи файла", GetLastError(), path));
        }
        sha256_add(hash, std::string_view(buffer.data(), got));
        received += got;
        if (progress) progress(received, content_length ? *content_length : received);
    }
    // A connection closed in the middle of the body can end the read like a complete one; a body
    // shorter than its announced length is a broken transfer, reported as the platform reports a
    // connection that broke.
    if (content_length && received < *content_length) {
        return fail(with_code(L"Ошибка приёма данных", ERROR_WINHTTP_CONNECTION_ERROR));
    }
    if (std::optional<std::wstring> refusal = final_length_refusal(received, limits)) {
        return fail(std::move(*refusal));
    }
    download.size = received;
    download.digest = sha256_finish(hash);
    return download;
}

void discard_download(downloaded_file& download) {
    if (download.file) delete_through(download.file);
}

bool install_download(downloaded_file& download, const std::wstring& target, std::wstring& error) {
    if (g_downloaded_file_hook != nullptr) g_downloaded_file_hook(download.path);
    // The bytes are on disk before the name points at them (and before any record names them).
    FlushFileBuffers(download.file.get());
    // FILE_RENAME_INFO ends in the name, without its NUL; the buffer keeps the record aligned.
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::vector<std::uint64_t> buffer((sizeof(FILE_RENAME_INFO) + name_bytes) / sizeof(std::uint64_t) + 1);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(rename->FileName, target.data(), name_bytes);
    const bool renamed = SetFileInformationByHandle(download.file.get(), FileRenameInfo, rename,
                                                    static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t))) != FALSE;
    const DWORD code = GetLastError();
    download.file.reset();
    if (!renamed) {
        error = with_path(L"не удалось сохранить скачанный файл", code, target);
        return false;
    }
    download.path = target;
    return true;
}

kernel_handle hold_for_reading(downloaded_file& download, std::wstring& error) {
    // A handle with write or delete access would make a reader that shares reading only (PowerShell's
    // unpacker) fail to open the file, and access cannot be dropped from a handle: the writing handle
    // closes, and whatever happens to the file before the reading one opens is caught by the digest.
    download.file.reset();
    if (g_downloaded_file_hook != nullptr) g_downloaded_file_hook(download.path);
    kernel_handle reading{CreateFileW(download.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!reading) {
        error = L"Не удалось прочитать скачанный файл: " + download.path;
        return {};
    }
    const std::optional<sha256_digest> now = sha256_open_file(reading.get());
    if (!now || !download.digest) {
        error = L"Не удалось прочитать скачанный файл: " + download.path;
        return {};
    }
    if (*now != *download.digest) {
        error = L"Файл изменён после скачивания: " + download.path;
        return {};
    }
    return reading;
}

bool remove_partial_download(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    // DeleteFileW and RemoveDirectoryW both remove a link itself, never what it points to; a real
    // directory under the name is no download of ours and stays.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path.c_str());
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        RemoveDirectoryW(path.c_str());
    }
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}
