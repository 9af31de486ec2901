#include "base/system.h"

#include "base/handle.h"

std::wstring read_env(const wchar_t* name) {
    constexpr DWORD chars = 32768;
    std::wstring buffer(chars, L'\0');
    const DWORD n = GetEnvironmentVariableW(name, buffer.data(), chars);
    if (n == 0 || n >= chars) return {};
    buffer.resize(n);
    return buffer;
}

std::optional<std::wstring> read_registry_string(HKEY root, const std::wstring& subkey, const std::wstring& value) {
    reg_key key;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), value.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    if (type != REG_SZ || size < sizeof(wchar_t)) return std::nullopt;
    // The size is in bytes and the stored text need not end in a NUL: read exactly that many bytes
    // and cut at the first NUL, if any.
    std::wstring text(size / sizeof(wchar_t), L'\0');
    DWORD read_size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &read_size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::nullopt;
    }
    text.resize(read_size / sizeof(wchar_t) < text.size() ? read_size / sizeof(wchar_t) : text.size());
    const std::size_t nul = text.find(L'\0');
    if (nul != std::wstring::npos) text.resize(nul);
    return text;
}

namespace {

// What stands at a name, judged through the handle that opened that name itself.
enum class plain_check { plain, replace, folder, unreadable };

plain_check check_plain(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        !GetFileInformationByHandle(file, &info)) {
        return plain_check::unreadable;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return plain_check::replace;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return plain_check::folder;
    return info.nNumberOfLinks > 1 ? plain_check::replace : plain_check::plain;
}

}  // namespace

kernel_handle open_plain_file(const std::wstring& path, DWORD access, DWORD share, bool truncate,
                              SECURITY_ATTRIBUTES* security, bool& created, DWORD& code) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, so nothing is created or written where it points.
    constexpr DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    const DWORD wanted = access | FILE_READ_ATTRIBUTES | (truncate ? FILE_WRITE_DATA : 0);
    kernel_handle file{CreateFileW(path.c_str(), wanted, share, security, OPEN_ALWAYS, flags, nullptr)};
    if (!file) {
        code = GetLastError();
        return {};
    }
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    switch (check_plain(file.get())) {
    case plain_check::plain:
        break;
    case plain_check::folder:
        code = ERROR_DIRECTORY;
        return {};
    case plain_check::unreadable:
        code = GetLastError();
        return {};
    case plain_check::replace:
        file.reset();
        // DeleteFileW removes a link itself. Whatever stands there after that (someone quick enough
        // to plant another) makes the create below fail: it only ever makes a new file.
        DeleteFileW(path.c_str());
        file.reset(CreateFileW(path.c_str(), wanted, share, security, CREATE_NEW, flags, nullptr));
        if (!file) {
            code = GetLastError();
            return {};
        }
        created = true;
        return file;
    }
    if (existed && truncate) {
        FILE_END_OF_FILE_INFO end{};
        if (!SetFileInformationByHandle(file.get(), FileEndOfFileInfo, &end, sizeof end)) {
            code = GetLastError();
            return {};
        }
    }
    created = !existed;
    return file;
}
